#pragma once

#include <xcb/xcb.h>

#include "platform/IdleCounter.h"

// The X server's input-idle time from the MIT-SCREEN-SAVER extension: the
// milliseconds since the last keyboard or pointer input (XTEST input included),
// as nanoseconds. One request and reply per call, nothing cached.
class X11IdleCounter final : public IdleCounter {
public:
    // `c` is Qt's connection (null: the time can never be read), `root` its root window.
    X11IdleCounter(xcb_connection_t* c, xcb_window_t root) : c_(c), root_(root) {}

    // Nothing when there is no connection, the extension is absent or the query fails.
    std::optional<std::int64_t> idleNanoseconds() override;

private:
    xcb_connection_t* c_;
    xcb_window_t root_;
};
