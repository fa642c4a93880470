#pragma once

#include "platform/ApplicationMenu.h"

// The application menu of an XDG desktop: the desktop entries of one
// applications folder. The entry is "vessik.desktop", written with the
// autostart entries' writer (XdgAutostart) and marked with
// X-Vessik-Installer=true; only a regular file with that mark is ever replaced.
//
// The command is a symbolic link "vessik" in the user's folder of programs
// (Debian's profile puts ~/.local/bin on PATH once it exists); only a link to
// a program called Vessik inside a "Vessik.app" folder is ever replaced.
class XdgApplicationMenu : public ApplicationMenu {
public:
    XdgApplicationMenu(QString folder, QString commandFolder)
        : folder_(std::move(folder)), commandFolder_(std::move(commandFolder)) {}

    // $XDG_DATA_HOME/applications, or ~/.local/share/applications when
    // XDG_DATA_HOME is unset, empty or not an absolute path.
    static QString defaultFolder();
    // ~/.local/bin.
    static QString defaultCommandFolder();

    // Each creates its folder when missing.
    std::optional<QString> addEntry(const QString& program, const QString& icon) override;
    std::optional<QString> addCommand(const QString& program) override;

private:
    QString folder_;
    QString commandFolder_;
};
