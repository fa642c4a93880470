#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <xcb/xcb.h>

// Where the keys of the hotkey key-name table sit on the X server's keyboard.
//
// A virtual key code of the table stands for a physical key position of an
// ANSI keyboard, not for a character. It is turned into the XKB key name of
// that position (<FK01>.., <AE01>.., <AC01>..) and then into the X keycode that
// the server's current keymap gives that name, so "A" stays the same physical
// key under a French or German layout.

// The XKB key name of the position of a virtual key code of the table, or
// nullptr for a code outside the table.
const char* xkbKeyNameOfKeyCode(std::int32_t keyCode);

class X11KeyPositions {
public:
    // Reads the core keyboard's keymap and modifier map from `c`. Nothing when
    // the server has no XKB extension or the keymap cannot be read.
    static std::optional<X11KeyPositions> load(xcb_connection_t* c);

    // The X keycode of the table's virtual key code `keyCode`, or nothing when the
    // code is outside the table or the keymap has no such key position.
    std::optional<xcb_keycode_t> keycode(std::int32_t keyCode) const;

    // The modifier bit that Num Lock sets (from the modifier map), or 0 when no
    // modifier carries a Num Lock key.
    std::uint16_t numLockMask() const { return numLockMask_; }

private:
    std::map<std::int32_t, xcb_keycode_t> keycodes_;
    std::uint16_t numLockMask_ = 0;
};
