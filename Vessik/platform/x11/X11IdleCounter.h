#pragma once

#include <optional>
#include <xcb/xcb.h>

#include "platform/IdleCounter.h"
#include "platform/x11/X11.h"

// The X server's input-idle time from the MIT-SCREEN-SAVER extension: the
// milliseconds since the last keyboard or pointer input (XTEST input included),
// as nanoseconds. One request and reply per call, nothing cached.
//
// The query goes over a connection of its own to the display of $DISPLAY, kept
// for the counter's lifetime: a reply on Qt's connection also wakes Qt's event
// reader thread, which made each query cost two to five times the CPU time.
// When that connection cannot be opened, Qt's connection is used.
class X11IdleCounter final : public IdleCounter {
public:
    // `qtConnection` is Qt's connection and `qtRoot` its root window; with a null
    // connection (no X11 session) the time can never be read.
    X11IdleCounter(xcb_connection_t* qtConnection, xcb_window_t qtRoot);

    // Nothing when there is no connection, the extension is absent or the query fails.
    std::optional<std::int64_t> idleNanoseconds() override;

private:
    std::optional<X11Connection> own_; // nothing when Qt's connection is used
    xcb_connection_t* c_ = nullptr;    // own_'s or Qt's
    xcb_window_t root_ = XCB_NONE;
};
