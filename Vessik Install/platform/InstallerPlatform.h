#pragma once

#include <memory>

#include <QtCore/QString>

#include "common/platform/SystemLog.h"
#include "platform/ApplicationMenu.h"
#include "platform/FileManager.h"
#include "platform/LoginItems.h"

// Every machine service the installer's delegate uses. `main` fills it with the
// real ones (makeInstallerPlatform); tests hand in fakes or real services on
// temporary folders.
struct InstallerServices {
    std::unique_ptr<SystemLog> log;
    std::unique_ptr<LoginItems> loginItems;
    std::unique_ptr<FileManager> files;
    std::unique_ptr<ApplicationMenu> menu;
};

// Where the installer reads and writes.
struct InstallLocations {
    QString bundleRoot;         // the installer's own bundle: the folder of its executable
    QString applicationsFolder; // the folder that receives the application

    // The running installer's bundle and the user's applications folder, $HOME/Applications.
    static InstallLocations forCurrentUser();

    // Where the application is installed: <applications folder>/Vessik.app.
    QString targetPath() const { return applicationsFolder + QStringLiteral("/Vessik.app"); }
    // The installed program, which the login item starts.
    QString installedProgram() const { return targetPath() + QStringLiteral("/Vessik"); }
};

// The real services: the system log (ident "Vessik Install", also on standard
// error), the user's XDG autostart folder, the all-or-nothing bundle copy and
// the user's XDG applications folder.
InstallerServices makeInstallerPlatform();
