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
    readEvents(true); // a notify that came in while waiting for the reply
    return static_cast<std::int64_t>(info->ms_since_user_input) * 1000000;
}

void X11IdleCounter::setScreenSaverActivatedCallback(std::function<void()> callback) {
    activated_ = std::move(callback);
    if (!own_ || events_) {
        return;
    }
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c_, &xcb_screensaver_id);
    if (extension == nullptr || !extension->present) {
        return;
    }
    notifyEvent_ = extension->first_event + XCB_SCREENSAVER_NOTIFY;
    xcb_screensaver_select_input(c_, root_, XCB_SCREENSAVER_EVENT_NOTIFY_MASK);
    xcb_flush(c_);
    events_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c_), QSocketNotifier::Read);
    QObject::connect(events_.get(), &QSocketNotifier::activated, events_.get(), [this] { readEvents(false); });
}

void X11IdleCounter::readEvents(bool queuedOnly) {
    if (!events_) {
        return;
    }
    bool activated = false;
    for (;;) {
        XcbReply<xcb_generic_event_t> event(queuedOnly ? xcb_poll_for_queued_event(c_) : xcb_poll_for_event(c_));
        if (!event) {
            break;
        }
        if ((event->response_type & 0x7f) == notifyEvent_) {
            const auto* notify = reinterpret_cast<const xcb_screensaver_notify_event_t*>(event.get());
            activated = activated || (notify->state == XCB_SCREENSAVER_STATE_ON && notify->forced);
        }
    }
    if (xcb_connection_has_error(c_) != 0) {
        events_->setEnabled(false); // the display is gone: its socket would stay readable for good
    }
    if (activated && activated_) {
        activated_();
    }
}
