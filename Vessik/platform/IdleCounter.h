#pragma once

#include <cstdint>
#include <functional>
#include <optional>

// The system's time since the last keyboard or pointer input, and the display's
// own screen saver.
class IdleCounter {
public:
    virtual ~IdleCounter() = default;
    // Nanoseconds since the last input, or nothing when the time cannot be read.
    virtual std::optional<std::int64_t> idleNanoseconds() = 0;
    // `callback` runs on the main thread each time a program starts the display's
    // screen saver on purpose (`xset s activate`: how X11 scripts and tools ask for
    // a lock); never for the display's own time-out. Nothing where the display
    // cannot say.
    virtual void setScreenSaverActivatedCallback(std::function<void()> callback) = 0;

    // Where the system tells idleness only as an event at a threshold (Wayland's
    // idle notifier, which also honours the compositor's idle inhibitors), the
    // threshold is "InactivityTime": set again whenever it may have changed (0: no
    // idleness at all). The idle time then reads 0 below the threshold, and the
    // threshold plus the time since it was reached from then on. Nothing where
    // the time itself can be read.
    virtual void setIdleThreshold(std::int64_t seconds) { (void)seconds; }
    // `callback` runs on the main thread when the threshold is reached, or input
    // comes after it was. Never where the time itself can be read.
    virtual void setIdleChangedCallback(std::function<void()> callback) { (void)callback; }
};
