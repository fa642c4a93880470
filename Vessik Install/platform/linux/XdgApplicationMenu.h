#pragma once

#include "platform/ApplicationMenu.h"

// The application menu of an XDG desktop: the desktop entries of one
// applications folder. The entry is "vessik.desktop", written with the
// autostart entries' writer (XdgAutostart) and marked with
// X-Vessik-Installer=true; only a regular file with that mark is ever replaced.
class XdgApplicationMenu : public ApplicationMenu {
public:
    explicit XdgApplicationMenu(QString folder) : folder_(std::move(folder)) {}

    // $XDG_DATA_HOME/applications, or ~/.local/share/applications when
    // XDG_DATA_HOME is unset, empty or not an absolute path.
    static QString defaultFolder();

    // Creates the folder when missing.
    std::optional<QString> addEntry(const QString& program, const QString& icon) override;

private:
    QString folder_;
};
