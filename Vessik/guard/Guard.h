#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>
#include <xcb/xcb.h>

#include "guard/GuardSupport.h"
#include "keeper/x11/X11Cover.h"
#include "keeper/x11/X11GrabKeeper.h"

// The guard of Vessik's locks (docs/DESIGN.md, "The guard"): a process of its
// own, on xcb alone, tied to Vessik by a link (keeper/link/GuardProtocol.h).
//
// While Vessik lives and a lock is in force, the guard holds the keyboard and
// the pointer (on its shield, a window the size of the whole root), hands every
// key to Vessik over the link, and keeps its shield mapped right below Vessik's
// windows and above every other one (inside the composite overlay window with
// Vessik's, where the server has one). When Vessik ends during a lock, nothing
// changes for the input, the shield is already there and rises to the top; the
// guard starts Vessik again with a new link and the lock's state as its first
// packet. If Vessik cannot be started, or ends three times within a minute, the
// guard gives up: the screen stays covered and held, keys are dropped, and the
// shield says on every monitor how to end the lock from a text console. A
// Vessik that the server refused (its client table full) does not count: it is
// started again, once a second at most, as long as the server lives. While
// unlocked the guard sleeps in poll().
//
//   state     shield                             input         keys
//   Idle      unmapped, no background            free          -
//   Standby   unmapped (Vessik holds the input   Vessik's      -
//             of this lock: the guard was
//             started during it, or was away)
//   Guarding  below Vessik's windows, no         held          to Vessik
//             background (Vessik's paint)
//   Keeping   black; on top until a linked       held          to a linked Vessik
//             Vessik names its lock window,
//             then below it
//   GaveUp    black, on top, with the way out    held          dropped
//   (Under a compositing manager the shield is always black: one without a
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
//   not Idle           this X connection closed by another     carried over to a new connection:
//                      client, the server alive                Keeping (GaveUp stays), or Standby
//                                                              when a linked Vessik took the input
//                                                              over while no connection was taken
//   any                the X server goes away                  (the guard exits)
class Guard {
public:
    using Clock = std::chrono::steady_clock;

    // In this order: cover() only moves forward.
    enum class State { Idle, Standby, Guarding, Keeping, GaveUp };

    // The lock a guard keeps, beyond its X resources: what goes from one X
    // connection to the next, and what is kept while the server takes none.
    struct Carried {
        int link = -1;
        bool linkEnded = false;
        pid_t child = 0;
        std::optional<Clock::time_point> startDeadline;
        std::optional<Clock::time_point> restartDue;
        RestartedEnds restartedEnds;
        std::vector<char> lockState;
        xcb_window_t lockWindow = XCB_NONE;
        std::optional<std::uint32_t> coverBase;
        State state = State::Idle;
        bool released = false; // a linked Vessik was told to hold the input itself
        std::vector<std::string> message;

        // While no X connection is taken: tells a linked Vessik once to hold the
        // input itself, follows the link for up to `timeout` (the state it sends,
        // an unlock, its end) and reaps a Vessik this guard started. False when
        // nothing is left to keep: Vessik ended while no lock was in force.
        bool waitOffline(std::chrono::milliseconds timeout);
    };

    // `c` is the guard's own connection (it stays the caller's), `screen` one of
    // its screens; `link` the descriptor of the link to Vessik (owned from now
    // on); `vessikCommand` the program and arguments that start Vessik again.
    Guard(xcb_connection_t* c, const xcb_screen_t& screen, int link, std::vector<std::string> vessikCommand);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    // Runs until Vessik ends while no lock is in force or the X server goes
    // away; returns the exit status (0 for both). Returns kCarryOn when this
    // guard's X connection broke during a lock while the server lives (another
    // client closed it): the caller then hands takeCarried() to a Guard on a new
    // connection, once the server takes one.
    int run();
    static constexpr int kCarryOn = -1;

    // What the next Guard needs after run() returned kCarryOn; this one then owns
    // no link and no state.
    Carried takeCarried();
    // Keeps the lock `carried` describes, on this guard's connection.
    void carryOn(Carried carried);

private:
    // The link.
    void readLink();
    void handleMessage(const std::vector<char>& packet);
    void sendHeld();
    void closeLink();
    // Vessik's end of the link closed: false when the guard is done.
    bool vessikEnded();
    void restartVessik();
    void giveUp(const std::string& why);

    // The screen.
    void handleEvent(const xcb_generic_event_t* event);
    void forwardKey(const xcb_generic_event_t* event);
    void restoreShield(const X11WindowChange& change);
    // The overlay window was unmapped or destroyed.
    void restoreOverlay(const X11WindowChange& change);
    // Whether the shield is mapped and the input taken: Guarding, Keeping, GaveUp.
    bool covered() const;
    // Whether the shield paints the cover itself: Keeping, GaveUp, or under a
    // compositing manager.
    bool shieldBlack() const;
    // Moves on to `to` when it lies further along than the state now (Keeping
    // after Guarding: the shield paints the cover and rises to the top); from
    // Idle or Standby it maps the shield and takes the input first. `overlay` is
    // the overlay window Vessik's windows live in (its Cover), when known.
    void cover(State to, xcb_window_t overlay = XCB_NONE);
    void uncover();
    // Where the shield lives: the overlay window while held, else the root.
    xcb_window_t home() const;
    // Takes a reference to the overlay window (known to be `overlay`, or asked
    // for) and moves the shield into it; nothing without Composite.
    void enterOverlay(xcb_window_t overlay);
    // The root's size and the monitors now: the shield follows the root.
    void followMonitors();
    // A new unmapped shield over the root, in home(), black while the cover is up
    // or a black shield is wanted.
    xcb_window_t newShield();
    // Gives the shield the background shieldBlack() says, painting it now when mapped.
    void paintShield();
    // Puts the shield right below the live Vessik's windows and above every
    // other client's, or on top while no Vessik is linked.
    void keepPlace();
    void holdInput();
    // Opens the font and lays out message_ for drawMessage.
    void prepareMessage();
    // Draws the message in the middle of each monitor.
    void drawMessage();

    xcb_connection_t* c_;
    const xcb_screen_t& screen_;
    bool listsMonitors_;
    bool hasOverlay_;
    int link_;
    std::vector<std::string> command_;
    pid_t child_ = 0; // the Vessik this guard started, while it is linked
    std::optional<Clock::time_point> startDeadline_;
    std::optional<Clock::time_point> restartDue_; // a Vessik the server refused is started again then
    int refusedRestarts_ = 0;                     // in a row, for the wait before the next
    RestartedEnds restartedEnds_;

    State state_ = State::Idle;
    // Whether a compositing manager runs, asked at start and at each unlock: it
    // would start a shield without a background from a copy of the desktop below
    // it, shown if Vessik's windows vanish, so the shield is black from the start
    // then; and it paints the overlay window itself, so the shield stays on the root.
    bool compositing_ = false;
    std::vector<char> lockState_;             // what a restarted Vessik gets, while a lock is in force
    std::optional<std::uint32_t> vessikBase_; // the linked Vessik's resource id base, while its lock window lives
    std::optional<std::uint32_t> coverBase_;  // that base as its cover request gave it
    xcb_window_t lockWindow_ = XCB_NONE;

    xcb_window_t shield_ = XCB_NONE;
    X11Rect rootRect_;
    std::vector<X11Monitor> monitors_;
    xcb_window_t overlay_ = XCB_NONE; // held while covering, where the server has one
    X11GrabKeeper grabs_;
    std::uint8_t randrEvent_ = 0; // first event code of RandR, 0 without it

    // Work noticed while reading the link and the events, done before the guard sleeps.
    struct Due {
        bool linkEnded = false; // Vessik's end of the link closed
        bool monitors = false;  // the monitors or the root's size may have changed
        bool place = false;     // another window may be above the shield
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
