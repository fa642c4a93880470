#pragma once

#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

// The one place that finds Qt's X connection.

// Frees an xcb reply or error with free(), as xcb requires.
struct XcbFree {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, XcbFree>;

// Qt's own xcb connection, or null when the application does not run on X11
// (Wayland, the offscreen platform of the tests).
xcb_connection_t* x11Connection();

// The root window of Qt's default screen, or XCB_NONE without X11.
xcb_window_t x11RootWindow();
