#include "platform/linux/XdgApplicationMenu.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>

#include "platform/linux/XdgAutostart.h"

namespace {

// The key that tells the installer's own entry from one a person made.
const QByteArray kMark = QByteArrayLiteral("X-Vessik-Installer");

} // namespace

QString XdgApplicationMenu::defaultFolder() {
    return XdgAutostart::baseDirectory("XDG_DATA_HOME", QStringLiteral(".local/share")) +
           QStringLiteral("/applications");
}

QString XdgApplicationMenu::defaultCommandFolder() {
    return QDir::homePath() + QStringLiteral("/.local/bin");
}

std::optional<QString> XdgApplicationMenu::addCommand(const QString& program) {
    const QString path = commandFolder_ + QStringLiteral("/vessik");
    const QFileInfo existing(path);
    if (existing.exists() || existing.isSymLink()) {
        // The installer's link, from this install or an earlier one, wherever it went.
        const QFileInfo target(existing.symLinkTarget());
        const bool ours = existing.isSymLink() && target.fileName() == QLatin1String("Vessik") &&
                          target.dir().dirName() == QLatin1String("Vessik.app");
        if (!ours) {
            return QStringLiteral("The command '%1' was not made by Vessik Install: it is left as it is.").arg(path);
        }
        if (!QFile::remove(path)) {
            return QStringLiteral("Cannot replace the command '%1'.").arg(path);
        }
    }
    if (!QDir().mkpath(commandFolder_) || !QFile::link(program, path)) {
        return QStringLiteral("Cannot make the command '%1'.").arg(path);
    }
    return std::nullopt;
}

std::optional<QString> XdgApplicationMenu::addEntry(const QString& program, const QString& icon) {
    const QString path = folder_ + QStringLiteral("/vessik.desktop");
    const QFileInfo existing(path);
    const bool ours =
        existing.isFile() && !existing.isSymLink() && XdgAutostart::entryValue(path, kMark) == QStringLiteral("true");
    if ((existing.exists() || existing.isSymLink()) && !ours) {
        return QStringLiteral("The menu entry '%1' was not written by Vessik Install: it is left as it is.").arg(path);
    }
    std::vector<std::pair<QString, QString>> keys{
        {QStringLiteral("Comment"), QStringLiteral("Lock the screen with a password")},
        {QStringLiteral("Categories"), QStringLiteral("System;Security;")},
    };
    if (!icon.isEmpty()) {
        keys.emplace_back(QStringLiteral("Icon"), icon);
    }
    keys.emplace_back(QString::fromLatin1(kMark), QStringLiteral("true"));
    if (!QDir().mkpath(folder_) || !XdgAutostart::writeEntryFile(path, XdgAutostart::desktopEntry(program, keys))) {
        return QStringLiteral("Cannot write the menu entry '%1'.").arg(path);
    }
    return std::nullopt;
}
