#pragma once

#include <cstdint>
#include <memory>
#include <vector>
#include <xcb/xcb.h>

#include <QtCore/QAbstractNativeEventFilter>

#include "platform/HotKeyService.h"

// One key combination that Vessik holds on the root window: the key and every
// modifier mask grabbed for it (the asked modifiers, alone and with Caps Lock
// and Num Lock).
struct X11OwnGrab {
    xcb_keycode_t keycode = 0;
    std::vector<std::uint16_t> masks;
};

// Vessik's live hotkey grabs. The hotkey service adds and removes them; the
// conflict probe reads them so that Vessik's own hotkeys never count as taken.
using X11OwnGrabs = std::vector<X11OwnGrab>;

// System-wide hotkeys on X11: passive key grabs on the root window of Qt's own
// connection, read back through a native event filter.
//
// A registration grabs the physical key position of the virtual key code (see
// X11KeyPositions) with Shift, Control and Mod1 as asked, in four variants (with
// and without Caps Lock and Num Lock) so the hotkey works whatever those locks
// are. The grabs are checked: when the server refuses any of them (another
// client holds that combination), the ones that were granted are released and
// the registration is refused. A second registration of a combination that is
// already registered is refused too, so two hotkeys never share one grab.
// Destroying a registration ungrabs exactly what it grabbed.
//
// While Vessik itself holds the keyboard (a lock), the server does not activate
// root grabs: the combination then arrives as a plain key press on Vessik's own
// window. Presses are therefore matched on every window of Qt's connection, not
// only on the root. A matched press is swallowed; keeping a key down (auto
// repeat) does not press the hotkey again. A press that another client sent
// (SendEvent) is never a hotkey. Handlers run from the event loop
// right after the event filter returns, never inside it.
class X11HotKeys final : public HotKeyService, private QAbstractNativeEventFilter {
public:
    // `c` is Qt's connection and `root` its root window; with a null connection
    // every registration is refused.
    X11HotKeys(xcb_connection_t* c, xcb_window_t root);
    ~X11HotKeys() override;
    X11HotKeys(const X11HotKeys&) = delete;
    X11HotKeys& operator=(const X11HotKeys&) = delete;

    // The live grabs of this service, for the conflict probe; stays valid while
    // anyone holds it.
    std::shared_ptr<const X11OwnGrabs> ownGrabs() const;

    void installEventHandler(HotKeyHandlerFunction handler, const EventTypeSpec& type) override;
    EventHotKeyRef registerEventHotKey(std::int32_t keyCode, std::uint32_t modifiers, const EventHotKeyID& id) override;

    struct State;

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    std::shared_ptr<State> state_;
};
