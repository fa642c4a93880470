#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/HotKeyService.h"
#include "platform/SymbolicHotKeys.h"

class QKeyEvent;
struct xkb_keymap;

// Hotkeys on Wayland, where no client may take keys from the others: a
// registration is only remembered, and matched against the keys the lock
// receives (WaylandSessionLock's key filter), so that both hotkeys work while
// locked. While unlocked the lock hotkey is a binding of the compositor's that
// runs `vessik --lock` (README). A key matches by its physical position (the
// table's virtual key code, as on X11) and by exactly the modifiers asked for.
// Handlers run from the event loop right after the key, never inside it.
class WaylandHotKeys final : public HotKeyService {
public:
    WaylandHotKeys();
    ~WaylandHotKeys() override;

    void installEventHandler(HotKeyHandlerFunction handler, const EventTypeSpec& type) override;
    EventHotKeyRef registerEventHotKey(std::int32_t keyCode, std::uint32_t modifiers, const EventHotKeyID& id) override;

    // Whether `event` (the key at xkb keycode `keycode` of `keymap`) is a
    // registered hotkey; its handlers are then due.
    bool handleKey(const QKeyEvent& event, std::uint32_t keycode, xkb_keymap* keymap);

    // The binding line of the compositor the session runs (sway, Hyprland, niri,
    // river, labwc, from their environment variables), else a plain description.
    QString lockBindingHint(std::int32_t keyCode, std::uint32_t modifiers) const override;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// No other program's hotkeys can be seen on Wayland: the conflict check finds none.
class WaylandSymbolicHotKeys final : public SymbolicHotKeys {
public:
    bool copySymbolicHotKeys(std::vector<SymbolicHotKey>& out) override {
        out.clear();
        return true;
    }
};
