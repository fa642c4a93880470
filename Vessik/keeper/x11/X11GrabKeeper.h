#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <xcb/xcb.h>

// Keeps this client's keyboard and pointer grabs on one window for as long as a
// lock needs them, and says whether both are held.
//
// It uses xcb alone (no Qt), so that a small program without Qt can hold a lock
// with it; its owner supplies the connection, the timing and the events:
//  - hold() sends the grab requests; collect() reads their replies, so that the
//    owner can send other requests (cover the other monitors) before it waits;
//  - tick() is due tickInterval() milliseconds after the last call of any of
//    them: it asks again every kRetryMs for a grab that another client refused,
//    and, while both are held, asks for both again every kRecheckMs, which
//    notices a grab that was broken without an event (an XKB ungrab action, an
//    unmapped window) and takes it back;
//  - handleEvent() sees the events of the connection: an Ungrab-mode focus or
//    crossing event on the grab window means a grab was lost, and both are
//    asked for again at once. The grab window needs kGrabWindowEvents selected.
// The callback set with setHeldCallback runs, from inside these calls, each time
// held() changes.
//
// A refused grab is never assumed held. From the first request until release()
// (or destruction) both grabs are given back on release, whatever the replies
// said, since a reply not read yet may be a success.
class X11GrabKeeper {
public:
    // A grab that another client's grab refused is asked for again this often.
    static constexpr int kRetryMs = 10;
    // Held grabs are checked this often, by asking for them again.
    static constexpr int kRecheckMs = 250;
    // Events the grab window must select for handleEvent to notice a lost grab.
    static constexpr std::uint32_t kGrabWindowEvents =
        XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW;

    // Does not own `connection`, which must outlive the keeper.
    explicit X11GrabKeeper(xcb_connection_t* connection) : c_(connection) {}
    // Gives the grabs back without calling the callback.
    ~X11GrabKeeper() {
        heldCallback_ = nullptr;
        release();
    }
    X11GrabKeeper(const X11GrabKeeper&) = delete;
    X11GrabKeeper& operator=(const X11GrabKeeper&) = delete;

    void setHeldCallback(std::function<void(bool held)> callback) { heldCallback_ = std::move(callback); }

    // Asks for both grabs on `target` (moving them there from another window of
    // ours); the replies are read by collect() or the next tick(). XCB_NONE releases.
    void hold(xcb_window_t target);
    // Reads the replies of requests in flight, if any (waits for them).
    void collect();
    // The periodic step (see above). Does nothing while nothing is kept.
    void tick();
    // Milliseconds until tick() is due; -1 while nothing is kept.
    int tickInterval() const;
    // When tick() is due (tickInterval() after the last call that asked for or
    // read grabs); nothing while nothing is kept.
    std::optional<std::chrono::steady_clock::time_point> tickDue() const;
    // Looks at one event of the connection; true when it showed that a grab was
    // lost (both are then asked for again).
    bool handleEvent(const xcb_generic_event_t* event);
    // `window` was destroyed or unmapped: the server ended any grab on it. When it
    // is the grab window, the grabs count as lost until hold() names a window again.
    void windowGone(xcb_window_t window);
    // Drops pending replies and gives both grabs back; nothing when nothing is kept.
    void release();

    // Whether both grabs are held on the window they are kept on.
    bool held() const { return keyboardHeld_ && pointerHeld_; }
    // Whether grabs are kept (from hold() until release()).
    bool active() const { return active_; }

private:
    void request(bool both);
    void setHeld(bool keyboard, bool pointer);

    xcb_connection_t* c_;
    std::function<void(bool)> heldCallback_;
    bool active_ = false;
    xcb_window_t window_ = XCB_NONE;
    bool keyboardHeld_ = false;
    bool pointerHeld_ = false;
    std::chrono::steady_clock::time_point lastCall_;
    std::optional<xcb_grab_keyboard_cookie_t> pendingKeyboard_;
    std::optional<xcb_grab_pointer_cookie_t> pendingPointer_;
};
