#include "platform/x11/X11Keyboard.h"

#include <xkbcommon/xkbcommon-x11.h>

#include <QtGui/QKeyEvent>

#include "platform/x11/X11.h"

namespace {

// XKB's events that say the keymap changed (XkbNewKeyboardNotify, XkbMapNotify),
// and that the modifiers or the layout did (XkbStateNotify).
constexpr std::uint8_t kNewKeyboardNotify = 0;
constexpr std::uint8_t kMapNotify = 1;
constexpr std::uint8_t kStateNotify = 2;

struct StateUnref {
    void operator()(xkb_state* p) const { xkb_state_unref(p); }
};

} // namespace

X11Keyboard::X11Keyboard(xcb_connection_t* c) : c_(c) {
    if (c_ == nullptr ||
        xkb_x11_setup_xkb_extension(c_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                    XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &xkbEvent_, nullptr) != 1) {
        return;
    }
    device_ = xkb_x11_get_core_keyboard_device_id(c_);
}

XkbKeyboard* X11Keyboard::keyboard() {
    if (device_ < 0) {
        return nullptr;
    }
    if (!keyboard_) {
        keyboard_ = std::make_unique<XkbKeyboard>();
        keyboard_->setKeymap(
            xkb_x11_keymap_new_from_device(keyboard_->context(), c_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS));
    }
    return keyboard_->hasKeymap() ? keyboard_.get() : nullptr;
}

KeyboardState X11Keyboard::state() {
    XkbKeyboard* keyboard = this->keyboard();
    if (keyboard == nullptr) {
        return {};
    }
    const std::unique_ptr<xkb_state, StateUnref> server(xkb_x11_state_new_from_device(keyboard->keymap(), c_, device_));
    return keyboard->keyboardState(server.get());
}

std::unique_ptr<QKeyEvent> X11Keyboard::keyEvent(const xcb_key_press_event_t& event) {
    XkbKeyboard* keyboard = this->keyboard();
    if (keyboard == nullptr) {
        return nullptr;
    }
    // The event's state holds the core modifiers and, in bits 13 and 14, the layout.
    keyboard->updateState(event.state & 0xff, 0, 0, (event.state >> 13) & 3);
    return keyboard->keyEvent((event.response_type & 0x7f) == XCB_KEY_PRESS, event.detail);
}

bool X11Keyboard::handleEvent(const xcb_generic_event_t* event) {
    if (xkbEvent_ == 0 || (event->response_type & 0x7f) != xkbEvent_) {
        return false;
    }
    const std::uint8_t kind = event->pad0; // XKB's own event type
    if (kind == kNewKeyboardNotify || kind == kMapNotify) {
        forget();
    }
    return kind == kNewKeyboardNotify || kind == kMapNotify || kind == kStateNotify;
}
