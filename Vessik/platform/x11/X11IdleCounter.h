#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <xcb/xcb.h>

#include <QtCore/QSocketNotifier>

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
//
// On its own connection it also hears the extension's notify events: one that
// turns the screen saver on with the "forced" flag comes from a client's
// ForceScreenSaver (`xset s activate`), while the server's time-out sends none
// with that flag. The user's screen-saver settings are never changed.
class X11IdleCounter final : public IdleCounter {
public:
    // `qtConnection` is Qt's connection and `qtRoot` its root window; with a null
    // connection (no X11 session) the time can never be read.
    X11IdleCounter(xcb_connection_t* qtConnection, xcb_window_t qtRoot);

    // Nothing when there is no connection, the extension is absent or the query fails.
    std::optional<std::int64_t> idleNanoseconds() override;
    void setScreenSaverActivatedCallback(std::function<void()> callback) override;

private:
    // Reads the events that arrived on the own connection (`queuedOnly`: only
    // those a reply left in xcb's queue).
    void readEvents(bool queuedOnly);

    std::optional<X11Connection> own_; // nothing when Qt's connection is used
    std::unique_ptr<QSocketNotifier> events_;
    std::uint8_t notifyEvent_ = 0; // the extension's first event code on the own connection
    std::function<void()> activated_;
    xcb_connection_t* c_ = nullptr; // own_'s or Qt's
    xcb_window_t root_ = XCB_NONE;
};
