// The settings store: Resources/Settings.plist of the bundle, read and written whole.
#include <sys/stat.h>

#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QSaveFile>

#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

// A settings file is a few hundred bytes; anything far larger is refused unread,
// which also keeps a hostile file from exhausting the parser.
constexpr qint64 kMaxSettingsFileSize = 64 * 1024;

} // namespace

void VessikAppDelegate::readPlist(const QString& name) {
    // Runs at every idle tick: one stat answers whether the file exists and is a
    // regular one, and the read itself enforces the size cap.
    const QString path = bundle_.resourcePath(name, QStringLiteral("plist"));
    const QFileInfo info(path);
    QString error;
    PropertyList loaded;
    if (!info.exists()) {
        error = QStringLiteral("no such file");
    } else if (!info.isFile()) {
        // Opening a FIFO or a device could block the program for good.
        error = QStringLiteral("not a regular file");
    } else {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            error = file.errorString();
        } else {
            const QByteArray data = file.read(kMaxSettingsFileSize + 1);
            if (data.size() > kMaxSettingsFileSize) {
                error = QStringLiteral("file too large");
            } else {
                loaded = PropertyList::fromData(data, &error);
            }
        }
    }
    if (loaded.isNull()) {
        log(QStringLiteral("Error reading plist from file '%1', error = '%2'").arg(path, error));
    }
    properties_ = std::move(loaded);
}

bool VessikAppDelegate::writePlist(const PropertyList& dict, const QString& name) {
    QString error;
    QByteArray xml = dict.toXml(&error);
    if (xml.isEmpty()) {
        log(QStringLiteral("Error writing plist to file error"));
        return false;
    }
    const QString path = bundle_.pathForResource(name, QStringLiteral("plist"));
    // What is written must be readable again: a deeply nested value, indented
    // line by line, can grow far past the size the reader accepts. Written
    // compactly it stays about the size it was read at; when even that is too
    // large the file is left as it is.
    if (xml.size() > kMaxSettingsFileSize) {
        xml = dict.toXml(&error, PropertyList::XmlLayout::Compact);
    }
    if (xml.size() > kMaxSettingsFileSize) {
        log(QStringLiteral("Cannot write settings file '%1': it would take %2 bytes, more than the %3 it may have")
                .arg(bundle_.resourcePath(name, QStringLiteral("plist")))
                .arg(xml.size())
                .arg(kMaxSettingsFileSize));
        return false;
    }
    if (path.isEmpty()) {
        log(QStringLiteral("Cannot write settings file '%1': no such file")
                .arg(bundle_.resourcePath(name, QStringLiteral("plist"))));
        return false;
    }
    // Written beside the target and renamed over it, so a reader sees the old or
    // the new file, never a part. The file holds the password: owner only.
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    if (ok) {
        ok = ::fchmod(file.handle(), S_IRUSR | S_IWUSR) == 0;
        if (!ok) {
            file.cancelWriting();
        }
    }
    // QSaveFile may report a commit as done after a short write on a full disk:
    // check every step and cancel on any failure.
    if (ok && (file.write(xml) != xml.size() || !file.flush())) {
        file.cancelWriting();
        ok = false;
    }
    if (ok) {
        ok = file.commit();
    }
    if (!ok) {
        log(QStringLiteral("Cannot write settings file '%1': %2").arg(path, file.errorString()));
    }
    return ok;
}
