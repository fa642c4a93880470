#pragma once

// The desktop's keyboard-shortcut settings.
class PreferencePane {
public:
    virtual ~PreferencePane() = default;
    // Starts the first keyboard-shortcut settings program installed, detached.
    // Returns false when none could be started.
    virtual bool openKeyboardPreferences() = 0;
};
