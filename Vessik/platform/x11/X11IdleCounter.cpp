#include "platform/x11/X11IdleCounter.h"

#include <xcb/screensaver.h>

#include "platform/x11/X11.h"

X11IdleCounter::X11IdleCounter(xcb_connection_t* qtConnection, xcb_window_t qtRoot) : c_(qtConnection), root_(qtRoot) {
    if (qtConnection == nullptr) {
        return;
    }
    int screenNumber = 0;
    xcb_connection_t* own = xcb_connect(nullptr, &screenNumber);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(own));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (xcb_connection_has_error(own) != 0 || screens.rem == 0) {
        xcb_disconnect(own);
        return;
    }
    own_ = own;
    c_ = own;
    root_ = screens.data->root;
}

X11IdleCounter::~X11IdleCounter() {
    if (own_ != nullptr) {
        xcb_disconnect(own_);
    }
}

std::optional<std::int64_t> X11IdleCounter::idleNanoseconds() {
    if (c_ == nullptr) {
        return std::nullopt;
    }
    xcb_generic_error_t* rawError = nullptr;
    XcbReply<xcb_screensaver_query_info_reply_t> info(
        xcb_screensaver_query_info_reply(c_, xcb_screensaver_query_info(c_, root_), &rawError));
    XcbReply<xcb_generic_error_t> error(rawError);
    if (!info || error) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(info->ms_since_user_input) * 1000000;
}
