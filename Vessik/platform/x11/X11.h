#pragma once

#include <memory>
#include <optional>
#include <xcb/xcb.h>

#include "keeper/x11/XcbReply.h"

// The one place that finds Qt's X connection, and opens private ones.

// Qt's own xcb connection, or null when the application does not run on X11
// (Wayland, the offscreen platform of the tests).
xcb_connection_t* x11Connection();

// The root window of Qt's default screen, or XCB_NONE without X11.
xcb_window_t x11RootWindow();

// A connection of Vessik's own to the display of $DISPLAY, closed with the
// object, and the root window of the screen $DISPLAY names. Requests on it never
// disturb Qt's connection (its grabs, its event reader thread).
class X11Connection {
public:
    // Nothing when the display cannot be reached or has no such screen.
    static std::optional<X11Connection> open();

    // Owned by this object; valid while it lives.
    xcb_connection_t* get() const { return connection_.get(); }
    xcb_window_t root() const { return root_; }

private:
    struct Disconnect {
        void operator()(xcb_connection_t* c) const noexcept { xcb_disconnect(c); }
    };

    X11Connection(xcb_connection_t* connection, xcb_window_t root) : connection_(connection), root_(root) {}

    std::unique_ptr<xcb_connection_t, Disconnect> connection_;
    xcb_window_t root_;
};
