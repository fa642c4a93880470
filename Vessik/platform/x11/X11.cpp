#include "platform/x11/X11.h"

#include <QtGui/QGuiApplication>

#include "keeper/x11/X11Cover.h"
#include "platform/PlatformServices.h"

xcb_connection_t* x11Connection() {
    if (qGuiApp == nullptr) {
        return nullptr;
    }
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_window_t x11RootWindow() {
    xcb_connection_t* c = x11Connection();
    if (c == nullptr) {
        return XCB_NONE;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    return screen != nullptr ? screen->root : XCB_NONE;
}

std::optional<X11Connection> X11Connection::open() {
    int screenNumber = 0;
    X11Connection own(xcb_connect(nullptr, &screenNumber), XCB_NONE);
    // A failed connect still returns a connection (to be disconnected), without a setup.
    if (xcb_connection_has_error(own.get()) != 0) {
        return std::nullopt;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(own.get()));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        return std::nullopt;
    }
    own.root_ = screens.data->root;
    return own;
}

std::optional<DisplayProblem> displayProblem() {
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty()) {
        return std::nullopt;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const bool reached = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    if (reached) {
        return std::nullopt;
    }
    if (x11ServerAlive()) {
        return DisplayProblem{QStringLiteral("The X server of display %1 refuses new clients (it has as many as it "
                                             "takes); Vessik cannot start now.")
                                  .arg(display),
                              true};
    }
    return DisplayProblem{QStringLiteral("Cannot reach the X display %1; Vessik cannot start.").arg(display), false};
}
