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
};
