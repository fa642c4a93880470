#pragma once

#include <cstdint>
#include <memory>

#include "platform/DisplayCapture.h"

class QKeyEvent;
struct xkb_context;
struct xkb_keymap;
struct xkb_state;

// A keyboard as xkbcommon describes it: its keymap, the modifiers and the layout
// in force, and what each key types, as Qt key events. It serves the lock
// window where its keys do not come through Qt's own connection: forwarded by
// the guard on X11, from the compositor's keyboard on Wayland.
//
// Dead keys and compose sequences are followed with the locale's compose table
// (LC_ALL, LC_CTYPE, LANG): their keys type nothing until the sequence ends in
// one character. Key repeat is the caller's.
class XkbKeyboard {
public:
    XkbKeyboard();
    ~XkbKeyboard();
    XkbKeyboard(const XkbKeyboard&) = delete;
    XkbKeyboard& operator=(const XkbKeyboard&) = delete;

    // The context keymaps are made in; owned by this object.
    xkb_context* context() const;
    // Takes `keymap` over (this object unreferences it); null forgets the keymap.
    // The state starts anew: no modifier, the first layout.
    void setKeymap(xkb_keymap* keymap);
    xkb_keymap* keymap() const;
    bool hasKeymap() const { return keymap() != nullptr; }

    // The modifiers (masks of the keymap's modifier indices) and the layout in force.
    void updateState(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked, std::uint32_t layout);

    // Qt's event for the key `keycode` (xkb's keycode: the X keycode, the
    // evdev code + 8) pressed or released in the state now. Null without a
    // keymap, and for presses inside a compose sequence, which type nothing.
    std::unique_ptr<QKeyEvent> keyEvent(bool press, std::uint32_t keycode, bool autoRepeat = false);

    // The locks and the layout of the state now.
    KeyboardState keyboardState() const;
    // The same for `state`, a state of this keymap made elsewhere (the X server's).
    KeyboardState keyboardState(xkb_state* state) const;

private:
    struct Handles;
    std::unique_ptr<Handles> h_;
};
