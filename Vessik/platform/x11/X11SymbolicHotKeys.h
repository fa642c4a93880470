#pragma once

#include <memory>

#include "platform/SymbolicHotKeys.h"
#include "platform/x11/X11HotKeys.h"

// The keys that other X clients already use as hotkeys.
//
// Each key position of the key-name table is probed from a second X connection
// of its own: a passive grab of the key with any modifiers, both as a core grab
// and as an XInput2 grab (some window managers grab their shortcuts through
// XInput2, and the two kinds do not see each other). A refused grab means that
// another client holds that key with some modifiers; the key is then listed,
// enabled. For the key positions of Vessik's own hotkeys, every modifier set
// except the ones Vessik grabbed itself is probed, so Vessik's own hotkeys never
// count. Probing never touches Qt's connection (an any-modifier grab there would
// merge with Vessik's grabs and its ungrab would delete them), and every probe
// grab is released, at the latest when the second connection closes.
class X11SymbolicHotKeys final : public SymbolicHotKeys {
public:
    // `own` lists Vessik's live hotkey grabs (X11HotKeys::ownGrabs()); the display
    // is the one Qt connected to by default ($DISPLAY).
    explicit X11SymbolicHotKeys(std::shared_ptr<const X11OwnGrabs> own);

    // False outside an X11 session and when the display or its keymap cannot be reached.
    bool copySymbolicHotKeys(std::vector<SymbolicHotKey>& out) override;

private:
    std::shared_ptr<const X11OwnGrabs> own_;
};
