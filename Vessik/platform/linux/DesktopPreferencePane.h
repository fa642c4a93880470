#pragma once

#include <vector>

#include <QtCore/QString>
#include <QtCore/QStringList>

#include "platform/PreferencePane.h"

// The desktop's keyboard-shortcut settings: the first installed of GNOME's,
// KDE's, Xfce's, MATE's, Cinnamon's and LXQt's, looked up on PATH and started
// detached (it outlives Vessik and Vessik never waits for it).
class DesktopPreferencePane final : public PreferencePane {
public:
    struct Program {
        QString name; // looked up on PATH
        QStringList arguments;
    };

    // The desktops' programs, in the order they are tried.
    static std::vector<Program> keyboardShortcutPrograms();

    explicit DesktopPreferencePane(std::vector<Program> programs = keyboardShortcutPrograms())
        : programs_(std::move(programs)) {}

    // Starts the first program found that can be started; false when none.
    bool openKeyboardPreferences() override;

private:
    std::vector<Program> programs_;
};
