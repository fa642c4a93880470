#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>
#include <xcb/xcb.h>

#include "keeper/x11/X11Cover.h"
#include "keeper/x11/X11GrabKeeper.h"

// The guard of Vessik's locks (docs/DESIGN.md, "The guard"): a process of its
// own, on xcb alone, tied to Vessik by a link (keeper/link/GuardProtocol.h).
//
// While Vessik lives and a lock is in force, the guard holds the keyboard and
// the pointer (on one of its shields), forwards every key to Vessik's lock
// window, and keeps its shields mapped right below Vessik's windows and
// above every other one. When Vessik ends during a lock, nothing changes for the
// input, the shields are already there and rise to the top; the guard starts
// Vessik again with a new link and the lock's state as its first packet. If
// Vessik cannot be started, or ends three times within a minute, the guard gives
// up: the screen stays covered and held, keys are dropped, and every shield says
// how to end the lock from a text console. While unlocked it sleeps in poll().
//
//   state     shields                            input         keys
//   Idle      unmapped, no background            free          -
//   Standby   unmapped (Vessik holds the input   Vessik's      -
//             of this lock: the guard was
//             started during it)
//   Guarding  below Vessik's windows, no         held          to the lock window
//             background (Vessik's paint)
//   Keeping   black; on top until a linked       held          to the lock window, once
//             Vessik names its lock window,                    a linked Vessik names one
//             then below it
//   GaveUp    black, on top, with the way out    held          dropped
//   (Under a compositing manager the shields are always black: one without a
//   background would start as a copy of the desktop below it.)
//
//   from               event                                   to
//   Idle               LockState (started during a lock)       Standby
//   Idle, Standby      Cover                                   Guarding
//   Standby, Guarding  Unlock                                  Idle
//   Keeping            Unlock (from a restarted Vessik)        Idle
//   Guarding           the lock window destroyed               Keeping
//   Standby, Guarding  the link ends (Vessik ended)            Keeping, Vessik started again
//   Keeping            the link ends again                     Keeping, Vessik started again,
//                                                              or GaveUp at the third end within a minute
//   Keeping            Vessik cannot be started                GaveUp
//   Idle               the link ends (Vessik quit)             (the guard exits)
//   not Idle           this X connection closed by another     the same, carried over to a new
//                      client, the server alive                connection (Keeping at least)
//   any                the X server goes away                  (the guard exits)
class Guard {
public:
    // `c` is the guard's own connection (it stays the caller's), `screen` one of
    // its screens; `link` the descriptor of the link to Vessik (owned from now
    // on); `vessikCommand` the program and arguments that start Vessik again.
    Guard(xcb_connection_t* c, const xcb_screen_t& screen, int link, std::vector<std::string> vessikCommand);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    using Clock = std::chrono::steady_clock;

    // Runs until Vessik ends while no lock is in force or the X server goes
    // away; returns the exit status (0 for both). Returns kCarryOn when another
    // client closed this guard's X connection during a lock while the server
    // still takes connections: the caller then hands takeCarried() to a Guard on
    // a new connection, which covers and grabs at once.
    int run();
    static constexpr int kCarryOn = -1;

    // In this order: cover() only moves forward.
    enum class State { Idle, Standby, Guarding, Keeping, GaveUp };

    // The lock a guard keeps, beyond its X resources.
    struct Carried {
        int link = -1;
        bool linkEnded = false;
        pid_t child = 0;
        std::optional<Clock::time_point> startDeadline;
        std::vector<Clock::time_point> deaths;
        std::vector<char> lockState;
        xcb_window_t lockWindow = XCB_NONE;
        std::optional<std::uint32_t> coverBase;
        bool gaveUp = false;
        std::vector<std::string> message;
    };
    // What the next Guard needs after run() returned kCarryOn; this one then owns
    // no link and no state.
    Carried takeCarried();
    // Keeps the lock `carried` describes, on this guard's connection: black
    // shields on top until the linked Vessik names its lock window, and the grabs.
    void carryOn(Carried carried);

private:
    struct Shield {
        std::uint32_t monitor;
        X11Rect rect;
        xcb_window_t window;
    };

    // The link.
    void readLink();
    void handleMessage(const std::vector<char>& packet);
    void sendHeld();
    void closeLink();
    // Whether a new connection to the display succeeds.
    static bool serverTakesConnections();
    // Vessik's end of the link closed: false when the guard is done.
    bool vessikEnded();
    void restartVessik();
    void giveUp(const std::string& why);

    // The screen.
    void handleEvent(const xcb_generic_event_t* event);
    void forwardKey(const xcb_generic_event_t* event);
    void restoreShield(const X11WindowChange& change);
    // Whether the shields are mapped and the input taken: Guarding, Keeping, GaveUp.
    bool covered() const;
    // Whether the shields paint the cover themselves: Keeping, GaveUp, or under a
    // compositing manager.
    bool shieldsBlack() const;
    // Moves on to `to` when it lies further along than the state now (Keeping
    // after Guarding: the shields paint the cover and rise to the top); from Idle
    // or Standby it maps the shields and takes the input first.
    void cover(State to);
    void uncover();
    void followMonitors();
    // A new unmapped shield over `rect`, black while the cover is up or black shields are wanted.
    xcb_window_t newShield(const X11Rect& rect);
    // Gives every shield the background shieldsBlack() says, painting the mapped ones now.
    void paintShields();
    // Whether a compositing manager runs: it would start a shield without a
    // background from a copy of the desktop below it, shown if Vessik's windows
    // vanish, so shields are black from the start then.
    bool compositing() const;
    // Puts the shields right below the live Vessik's windows and above every
    // other client's, or on top while no Vessik is linked.
    void keepPlace();
    void holdInput();
    // Opens the font and lays out message_ for drawMessage.
    void prepareMessage();
    void drawMessage(const Shield& shield);
    std::vector<Shield>::iterator findShield(xcb_window_t window);

    xcb_connection_t* c_;
    const xcb_screen_t& screen_;
    bool listsMonitors_;
    int link_;
    std::vector<std::string> command_;
    pid_t child_ = 0; // the Vessik this guard started, while it is linked
    std::optional<Clock::time_point> startDeadline_;
    std::vector<Clock::time_point> deaths_; // of Vessiks this guard started, within the last minute

    State state_ = State::Idle;
    bool compositing_ = false;                // asked at start and at each unlock
    std::vector<char> lockState_;             // what a restarted Vessik gets, while a lock is in force
    std::optional<std::uint32_t> vessikBase_; // the linked Vessik's resource id base, while its lock window lives
    std::optional<std::uint32_t> coverBase_;  // that base as its cover request gave it
    xcb_window_t lockWindow_ = XCB_NONE;

    std::vector<Shield> shields_;
    X11GrabKeeper grabs_;
    std::uint8_t randrEvent_ = 0; // first event code of RandR, 0 without it

    // Work noticed while reading the link and the events, done before the guard sleeps.
    struct Due {
        bool linkEnded = false; // Vessik's end of the link closed
        bool monitors = false;  // the monitors may have changed
        bool place = false;     // another window may be above the shields
    } due_;

    // The lines shown after giving up, and their pixels as blocks of scale_ x scale_.
    struct Glyphs {
        int width;
        std::vector<xcb_rectangle_t> blocks; // relative to the line's top left corner
    };
    std::vector<std::string> message_;
    std::vector<Glyphs> glyphs_;
    xcb_gcontext_t gc_ = XCB_NONE;
    int scale_ = 1;
    int lineHeight_ = 0;
};
