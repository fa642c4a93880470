#include "fakes/TestBundle.h"

#include <QtCore/QDir>
#include <QtCore/QFile>

TestBundle::TestBundle() {
    const QString from = QStringLiteral(VESSIK_SOURCE_BUNDLE "/Resources");
    const QString to = dir_.path() + QStringLiteral("/Resources");
    QDir().mkpath(to);
    const QStringList entries = QDir(from).entryList(QDir::Files);
    for (const QString& name : entries) {
        QFile::copy(from + u'/' + name, to + u'/' + name);
    }
    QFile::setPermissions(settingsPath(), QFile::ReadOwner | QFile::WriteOwner);
}

void TestBundle::writeSettings(const QByteArray& content) const {
    QFile f(settingsPath());
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(content);
    f.close();
    QFile::setPermissions(settingsPath(), QFile::ReadOwner | QFile::WriteOwner);
}

void TestBundle::removeSettings() const {
    QFile::remove(settingsPath());
}

PropertyList TestBundle::settings() const {
    QString error;
    return PropertyList::fromData(readSettings(), &error);
}

void TestBundle::editSettings(const std::function<void(PropertyList&)>& edit) const {
    PropertyList p = settings();
    edit(p);
    QString error;
    writeSettings(p.toXml(&error));
}

QByteArray TestBundle::readSettings() const {
    QFile f(settingsPath());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

namespace PlistXml {

QByteArray document(const QByteArray& root) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + root + "\n</plist>\n";
}

QByteArray dict(const QByteArray& entries) {
    return document("<dict>\n" + entries + "\n</dict>");
}

QByteArray string(const char* key, const QString& value) {
    return QByteArray("<key>") + key + "</key><string>" + value.toHtmlEscaped().toUtf8() + "</string>\n";
}

QByteArray integer(const char* key, long long value) {
    return QByteArray("<key>") + key + "</key><integer>" + QByteArray::number(value) + "</integer>\n";
}

} // namespace PlistXml
