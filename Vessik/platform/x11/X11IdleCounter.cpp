#include "platform/x11/X11IdleCounter.h"

#include <xcb/screensaver.h>

#include "platform/x11/X11.h"

X11IdleCounter::X11IdleCounter(xcb_connection_t* qtConnection, xcb_window_t qtRoot) : c_(qtConnection), root_(qtRoot) {
    if (qtConnection == nullptr) {
        return;
    }
    own_ = X11Connection::open();
    if (own_) {
        c_ = own_->get();
        root_ = own_->root();
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
