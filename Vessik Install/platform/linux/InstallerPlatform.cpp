#include "platform/InstallerPlatform.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>

#include "platform/XdgAutostart.h"
#include "platform/linux/InstallerSyslog.h"

InstallLocations InstallLocations::forCurrentUser() {
    return InstallLocations{QCoreApplication::applicationDirPath(), QDir::homePath() + QStringLiteral("/Applications")};
}

InstallerServices makeInstallerPlatform() {
    InstallerServices services;
    services.log = std::make_unique<InstallerSyslog>();
    services.loginItems = std::make_unique<XdgAutostart>(XdgAutostart::defaultFolder());
    return services;
}
