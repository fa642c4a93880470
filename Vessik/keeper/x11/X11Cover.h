#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>
#include <xcb/xcb.h>

// What covering the screen takes, on xcb alone, for Vessik and its guard: the
// monitors to cover, black shield windows, and what another client did to one
// of our windows. No Qt, so that the guard can use it.

// A rectangle of root coordinates, in native pixels.
struct X11Rect {
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool operator==(const X11Rect&) const = default;
};

// One monitor: its id (the RandR monitor's name atom, or kX11WholeScreen) and where it is.
struct X11Monitor {
    std::uint32_t id = 0;
    X11Rect rect;
};

// The id of the one display "the whole screen" when RandR lists no monitor
// (never a monitor's name atom, which is not None).
constexpr std::uint32_t kX11WholeScreen = XCB_ATOM_NONE;

// Whether the server lists monitors (RandR 1.5). Costs a round trip.
bool x11ListsMonitors(xcb_connection_t* c);

// The screen as a cover must see it: the root window's whole rectangle (what
// the framebuffer shows, whatever the monitor list says) and the monitors.
struct X11Screen {
    X11Rect root;
    std::vector<X11Monitor> monitors;
};

// The root's rectangle and the active monitors of `screen`, at most `maxCount`,
// in the server's order; the whole root as one monitor when `listsMonitors` is
// false or the server lists none. One round trip. Monitors may leave parts of
// the root uncovered, lie off it, or be as small as a pixel: another client can
// define them so.
X11Screen x11Screen(xcb_connection_t* c, const xcb_screen_t& screen, bool listsMonitors, std::size_t maxCount);

// Creates (does not map) a black override-redirect window over `rect` inside
// `parent` (the root, or the composite overlay window), named and classed
// "Vessik", that selects `events`. The caller owns it.
xcb_window_t x11CreateShield(xcb_connection_t* c, const xcb_screen_t& screen, xcb_window_t parent, const X11Rect& rect,
                             std::uint32_t events);

// The composite overlay window: a window above every other window of the root,
// override-redirect ones included, whose children no other client can raise
// anything above and whose own painting they hide. It exists and is mapped
// while some client holds a reference to it; a client's references end with its
// connection. Without a compositing manager a mapped overlay hides the desktop,
// so a lock holds it only while it is in force.
//
// Whether the server offers it (Composite 0.3 or later). A round trip; ask once.
bool x11HasOverlay(xcb_connection_t* c);
// Takes a reference to the overlay window of `root` and returns it (waits for
// the reply); XCB_NONE when the server refused.
xcb_window_t x11TakeOverlay(xcb_connection_t* c, xcb_window_t root);
// Takes a reference without waiting, when the overlay's id is known (another
// client of the lock holds it already).
void x11HoldOverlay(xcb_connection_t* c, xcb_window_t root);
// Gives this client's reference back.
void x11ReleaseOverlay(xcb_connection_t* c, xcb_window_t root);

// Whether a compositing manager runs on the screen of `screen` (an owner of
// _NET_WM_CM_Sn). Such a manager paints the overlay window itself, over the
// windows inside it: a lock's windows then live on the root, where it
// composites them, and the overlay only gets an empty window of the lock's that
// keeps other clients' painting on it out of sight. Two round trips.
bool x11Compositing(xcb_connection_t* c, const xcb_screen_t& screen);

// Whether the X server of `display` (as in $DISPLAY; null: $DISPLAY) lives: its
// socket takes a connection. xcb reports a server that is gone and one that
// refuses new clients (its client table is full) alike; this tells them apart.
bool x11ServerAlive(const char* display = nullptr);

// Moves and resizes `window` onto `rect`, without a border.
void x11PlaceWindow(xcb_connection_t* c, xcb_window_t window, const X11Rect& rect);

// Whether `window` was created by another client than the one of `c`.
bool x11Foreign(xcb_connection_t* c, xcb_window_t window);

// Whether `window` was created by the client whose resource ids start at `base`.
bool x11CreatedBy(xcb_connection_t* c, std::uint32_t base, xcb_window_t window);

// What a server event says about one of our windows that another client may have
// changed. Made-up events (sent by a client) say nothing: any client may send a
// DestroyNotify, which would otherwise make us forget a window that still exists.
struct X11WindowChange {
    enum Kind {
        None,       // not such an event
        Unmapped,   // `window` was unmapped (the server ended any grab on it)
        Destroyed,  // `window` was destroyed
        Configured, // `window` has `rect` and `border` now (moved, resized or restacked)
        ChildAdded, // `child` was created or reparented inside `window`
        Reparented, // `window` itself was moved into `parent` (the root when it is put back)
    };
    Kind kind = None;
    xcb_window_t window = XCB_NONE;
    xcb_window_t child = XCB_NONE;
    X11Rect rect;
    std::uint16_t border = 0;
    xcb_window_t parent = XCB_NONE;
};
// `window` is the window the event is about: the changed window itself for the
// structure events, the parent for ChildAdded. Structure events that reach a
// parent about its children are None.
X11WindowChange x11WindowChange(const xcb_generic_event_t* event);

// Events a shield selects so that x11WindowChange reports everything done to it.
constexpr std::uint32_t kX11WatchedWindowEvents =
    XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
