#include "platform/x11/X11.h"

#include <QtGui/QGuiApplication>

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

bool isX11Session() {
    return x11Connection() != nullptr;
}
