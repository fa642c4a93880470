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

bool isX11Session() {
    return x11Connection() != nullptr;
}
