#include "keeper/x11/X11GrabKeeper.h"

#include "keeper/x11/XcbReply.h"

namespace {

// Pointer events the grab window needs while the pointer is grabbed.
constexpr std::uint32_t kPointerEvents = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                         XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW |
                                         XCB_EVENT_MASK_POINTER_MOTION;

} // namespace

void X11GrabKeeper::setHeld(bool keyboard, bool pointer) {
    const bool before = held();
    keyboardHeld_ = keyboard;
    pointerHeld_ = pointer;
    if (held() != before && heldCallback_) {
        heldCallback_(held());
    }
}

void X11GrabKeeper::request(bool both) {
    collect(); // one reply of each kind in flight at a time
    lastCall_ = std::chrono::steady_clock::now();
    if (window_ == XCB_NONE) {
        return;
    }
    if (both || !keyboardHeld_) {
        pendingKeyboard_ =
            xcb_grab_keyboard(c_, 0, window_, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    }
    if (both || !pointerHeld_) {
        pendingPointer_ = xcb_grab_pointer(c_, 0, window_, kPointerEvents, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                           XCB_NONE, XCB_NONE, XCB_CURRENT_TIME);
    }
    xcb_flush(c_);
}

void X11GrabKeeper::hold(xcb_window_t target) {
    if (target == XCB_NONE) {
        release();
        return;
    }
    active_ = true;
    if (target != window_) {
        // Moving: the grabs stay where they are until the new requests replace them.
        window_ = target;
        request(true);
    } else {
        request(false);
    }
}

void X11GrabKeeper::collect() {
    lastCall_ = std::chrono::steady_clock::now();
    bool keyboard = keyboardHeld_;
    bool pointer = pointerHeld_;
    if (pendingKeyboard_) {
        XcbReply<xcb_grab_keyboard_reply_t> r(xcb_grab_keyboard_reply(c_, *pendingKeyboard_, nullptr));
        pendingKeyboard_.reset();
        keyboard = window_ != XCB_NONE && r && r->status == XCB_GRAB_STATUS_SUCCESS;
    }
    if (pendingPointer_) {
        XcbReply<xcb_grab_pointer_reply_t> r(xcb_grab_pointer_reply(c_, *pendingPointer_, nullptr));
        pendingPointer_.reset();
        pointer = window_ != XCB_NONE && r && r->status == XCB_GRAB_STATUS_SUCCESS;
    }
    setHeld(keyboard, pointer);
}

void X11GrabKeeper::tick() {
    if (!active_) {
        return;
    }
    collect();
    // Held: ask for both again, which costs one round trip and shows whether they
    // still are. Not held: ask for what is missing.
    request(held());
}

int X11GrabKeeper::tickInterval() const {
    if (!active_ || window_ == XCB_NONE) {
        return -1;
    }
    return held() ? kRecheckMs : kRetryMs;
}

std::optional<std::chrono::steady_clock::time_point> X11GrabKeeper::tickDue() const {
    const int interval = tickInterval();
    if (interval < 0) {
        return std::nullopt;
    }
    return lastCall_ + std::chrono::milliseconds(interval);
}

bool X11GrabKeeper::handleEvent(const xcb_generic_event_t* event) {
    if (!active_ || window_ == XCB_NONE) {
        return false;
    }
    bool lost = false;
    switch (event->response_type & 0x7f) {
    case XCB_FOCUS_OUT: {
        const auto* e = reinterpret_cast<const xcb_focus_out_event_t*>(event);
        lost = e->mode == XCB_NOTIFY_MODE_UNGRAB && e->event == window_;
        break;
    }
    case XCB_LEAVE_NOTIFY: {
        const auto* e = reinterpret_cast<const xcb_leave_notify_event_t*>(event);
        lost = e->mode == XCB_NOTIFY_MODE_UNGRAB && e->event == window_;
        break;
    }
    default:
        break;
    }
    if (lost) {
        collect();
        setHeld(false, false);
        request(true);
    }
    return lost;
}

void X11GrabKeeper::windowGone(xcb_window_t window) {
    if (window == XCB_NONE || window != window_) {
        return;
    }
    collect();
    window_ = XCB_NONE;
    setHeld(false, false);
}

void X11GrabKeeper::release() {
    if (!active_) {
        return;
    }
    if (pendingKeyboard_) {
        xcb_discard_reply(c_, pendingKeyboard_->sequence);
        pendingKeyboard_.reset();
    }
    if (pendingPointer_) {
        xcb_discard_reply(c_, pendingPointer_->sequence);
        pendingPointer_.reset();
    }
    xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
    xcb_ungrab_pointer(c_, XCB_CURRENT_TIME);
    xcb_flush(c_);
    active_ = false;
    window_ = XCB_NONE;
    setHeld(false, false);
}
