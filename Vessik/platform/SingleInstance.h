#pragma once

#include <functional>

#include <QtCore/QString>

// One Vessik per user and display. Two lockers on one display fight over the top
// of the stack, so a later start (an autostart entry and a start by hand, or the
// application menu) asks the running one to open its settings window instead.
class SingleInstance {
public:
    virtual ~SingleInstance() = default;

    enum class Claim {
        Claimed,   // this process is the one Vessik of its user on the display
        Running,   // another one is; it was asked to open its settings window
        Unchecked, // the check could not be made; this process runs all the same
    };

    // Tries to make this process the one Vessik of its user on `display` (the X
    // display name, as in $DISPLAY). A claim holds until the object is destroyed
    // or the process ends, however it ends. `why` gets a line for the log for
    // Running and Unchecked (whether the request reached the running one, or what
    // stopped the check), and is left alone for Claimed. Unchecked never stops
    // Vessik: a second locker is better than none.
    virtual Claim claim(const QString& display, QString* why) = 0;

    // After Claimed: `callback` runs on the main thread each time a later process
    // asks for the settings window.
    virtual void setSettingsRequestCallback(std::function<void()> callback) = 0;
};
