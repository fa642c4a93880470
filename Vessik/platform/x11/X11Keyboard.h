#pragma once

#include <cstdint>
#include <memory>
#include <xcb/xcb.h>

#include "platform/DisplayCapture.h"
#include "platform/xkb/XkbKeyboard.h"

class QKeyEvent;

// The X server's keyboard, for the lock: its locks and layout as the server
// holds them now (another client may lock Shift or switch the layout), and the
// keys the guard forwards turned into Qt key events. Reads the keymap from the
// server the first time it is needed and keeps it until forget().
class X11Keyboard {
public:
    // `c` must outlive this object (Qt's connection).
    explicit X11Keyboard(xcb_connection_t* c);

    // The server's state now (a round trip); empty without XKB.
    KeyboardState state();
    // Qt's event for `event` (a key press or release the X server reported), or
    // null when it types nothing yet (a compose sequence) or without XKB.
    std::unique_ptr<QKeyEvent> keyEvent(const xcb_key_press_event_t& event);
    // An event of Qt's connection: a new keymap makes this one forget its own.
    // True when the keyboard's locks, layout or keymap changed.
    bool handleEvent(const xcb_generic_event_t* event);
    // Drops the keymap and the compose state (the lock ended).
    void forget() { keyboard_.reset(); }

private:
    // The keymap, read from the server when there is none.
    XkbKeyboard* keyboard();

    xcb_connection_t* c_;
    std::int32_t device_ = -1;
    std::uint8_t xkbEvent_ = 0; // the first event code of XKB
    std::unique_ptr<XkbKeyboard> keyboard_;
};
