#include "platform/InstallerPlatform.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>

#include "common/platform/linux/SyslogLog.h"
#include "platform/linux/BundleCopy.h"
#include "platform/linux/XdgApplicationMenu.h"
#include "platform/linux/XdgAutostart.h"

InstallLocations InstallLocations::forCurrentUser() {
    return InstallLocations{QCoreApplication::applicationDirPath(), QDir::homePath() + QStringLiteral("/Applications")};
}

InstallerServices makeInstallerPlatform() {
    InstallerServices services;
    services.log = std::make_unique<SyslogLog>(QByteArrayLiteral("Vessik Install"));
    services.loginItems = std::make_unique<XdgAutostart>(XdgAutostart::defaultFolder());
    services.files = std::make_unique<BundleCopy>();
    services.menu = std::make_unique<XdgApplicationMenu>(XdgApplicationMenu::defaultFolder(),
                                                         XdgApplicationMenu::defaultCommandFolder());
    return services;
}
