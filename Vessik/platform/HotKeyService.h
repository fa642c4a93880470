#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <QtCore/QString>

// The identity given to a hotkey when it is registered: a four-character
// signature and a number. Vessik's lock hotkey is {"htk1", 1}, its shut-down
// hotkey {"htk2", 2}.
struct EventHotKeyID {
    std::uint32_t signature = 0;
    std::uint32_t id = 0;
};

// The event kind a hotkey handler is installed for.
struct EventTypeSpec {
    std::uint32_t eventClass = 0;
    std::uint32_t eventKind = 0;
};

// The event kind of a hotkey press, the one kind handlers are installed for.
inline constexpr std::uint32_t kEventClassKeyboard = 0x6B657962; // "keyb"
inline constexpr std::uint32_t kEventHotKeyPressed = 5;

// A hotkey press as handed to a handler. `hotKeyID` is null when the identity of
// the pressed hotkey cannot be read.
struct HotKeyEvent {
    const EventHotKeyID* hotKeyID = nullptr;
};

// A plain handler function; returns 0 when it handled the event.
using HotKeyHandlerFunction = int (*)(const HotKeyEvent& event);

// Modifier bits of a hotkey (the classic virtual-key masks).
enum HotKeyModifier : std::uint32_t {
    shiftKey = 0x0200,
    optionKey = 0x0800,
    controlKey = 0x1000,
};

// One registered hotkey. Destroying it unregisters exactly what was registered.
class HotKeyRegistration {
public:
    virtual ~HotKeyRegistration() = default;
};
using EventHotKeyRef = std::unique_ptr<HotKeyRegistration>;

// The handlers installed for hotkeys, oldest first.
using HotKeyHandlers = std::vector<std::pair<HotKeyHandlerFunction, EventTypeSpec>>;
// Hands a press of hotkey `id` to the handlers of hotkey presses, newest first,
// until one reports it handled (returns 0). Takes a copy: a handler may install another.
void dispatchHotKeyPress(HotKeyHandlers handlers, const EventHotKeyID& id);

// System-wide hotkeys.
class HotKeyService {
public:
    virtual ~HotKeyService() = default;

    // Adds `handler` for presses of registered hotkeys. Handlers are called newest
    // first; the first one that returns 0 ends the dispatch of that press.
    virtual void installEventHandler(HotKeyHandlerFunction handler, const EventTypeSpec& type) = 0;

    // Registers the key at virtual key code `keyCode` with the modifier bits
    // `modifiers` (HotKeyModifier). Returns null when the system refuses it.
    virtual EventHotKeyRef registerEventHotKey(std::int32_t keyCode, std::uint32_t modifiers,
                                               const EventHotKeyID& id) = 0;

    // Where a registration cannot hold a hotkey system-wide (Wayland), how to
    // make the combination of `keyCode` and `modifiers` lock all the same: a
    // sentence with the line to paste into the desktop's key bindings. Empty
    // where registering holds it.
    virtual QString lockBindingHint(std::int32_t keyCode, std::uint32_t modifiers) const {
        (void)keyCode;
        (void)modifiers;
        return {};
    }
};
