#pragma once

#include <functional>

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtCore/QTemporaryDir>

#include "common/Bundle.h"
#include "platform/PropertyList.h"

// A throw-away copy of the built Vessik bundle's resources in a temporary
// directory, so tests read and write a real settings file without touching the build.
class TestBundle {
public:
    TestBundle();
    Bundle bundle() const { return Bundle(dir_.path()); }
    QString settingsPath() const { return dir_.path() + QStringLiteral("/Resources/Settings.plist"); }
    // Replaces the settings file with `content` (mode 0600), or removes it when null.
    void writeSettings(const QByteArray& content) const;
    void removeSettings() const;
    QByteArray readSettings() const;
    // The settings file parsed (null when it is not a property list), and a change
    // of it made the way another writer would: read, edit, write back whole.
    PropertyList settings() const;
    void editSettings(const std::function<void(PropertyList&)>& edit) const;

private:
    QTemporaryDir dir_;
};

// Property-list XML written by hand, for settings files a test sets up byte by byte.
namespace PlistXml {
// The XML declaration and the <plist> element around `root` (not checked).
QByteArray document(const QByteArray& root);
// A document whose root is a dictionary of `entries`, made with string() and integer().
QByteArray dict(const QByteArray& entries);
QByteArray string(const char* key, const QString& value);
QByteArray integer(const char* key, long long value);
} // namespace PlistXml
