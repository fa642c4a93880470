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
