#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>
#include <xcb/xcb.h>

#include "platform/x11/X11Cover.h"
#include "platform/x11/X11GrabKeeper.h"

// The guard of Vessik's locks (docs/DESIGN.md, "The guard"): a process of its
// own, on xcb alone, tied to Vessik by a link (guard/GuardProtocol.h).
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

    // The lock a guard keeps, beyond its X resources.
    struct Carried {
        int link = -1;
        bool linkEnded = false;
        pid_t child = 0;
        std::optional<Clock::time_point> startDeadline;
        std::vector<Clock::time_point> deaths;
        std::vector<char> state;
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
    void cover();
    void uncover();
    void followMonitors();
    // A new unmapped shield over `rect`, with the background blackShields_ says.
    xcb_window_t newShield(const X11Rect& rect);
    // Gives the shields a black background (painting the mapped ones now), or none.
    void setShieldsBlack(bool black);
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
    bool linkEnded_ = false;
    std::vector<std::string> command_;
    pid_t child_ = 0; // the Vessik this guard started, while it is linked
    std::optional<Clock::time_point> startDeadline_;
    std::vector<Clock::time_point> deaths_; // of Vessiks this guard started, within the last minute

    bool lockInForce_ = false;
    std::vector<char> state_;
    bool covered_ = false;
    // While a Vessik is linked its own black shields above ours paint the cover,
    // and ours have no background: mapping them paints nothing, so a lock does not
    // wait for the server to fill every monitor twice. From Vessik's end until the
    // next unlock ours are black, and always under a compositing manager.
    bool blackShields_ = false;
    std::optional<std::uint32_t> vessikBase_; // the linked Vessik's resource id base, while its lock window lives
    std::optional<std::uint32_t> coverBase_;  // that base as its cover request gave it
    xcb_window_t lockWindow_ = XCB_NONE;
    bool gaveUp_ = false;

    std::vector<Shield> shields_;
    X11GrabKeeper grabs_;
    bool checkPlace_ = false;
    bool monitorsChanged_ = false;
    std::uint8_t randrEvent_ = 0; // first event code of RandR, 0 without it

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
