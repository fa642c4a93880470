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
        {QStringLiteral("Categories"), QStringLiteral("Utility;Security;")},
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
