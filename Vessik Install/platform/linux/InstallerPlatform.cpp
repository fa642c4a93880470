#include "platform/InstallerPlatform.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>

#include "platform/XdgAutostart.h"
#include "platform/linux/SyslogLog.h"

InstallLocations InstallLocations::forCurrentUser() {
    return InstallLocations{QCoreApplication::applicationDirPath(), QDir::homePath() + QStringLiteral("/Applications")};
}

InstallerServices makeInstallerPlatform() {
    InstallerServices services;
    services.log = std::make_unique<SyslogLog>(QByteArrayLiteral("Vessik Install"));
    services.loginItems = std::make_unique<XdgAutostart>(XdgAutostart::defaultFolder());
    return services;
}
