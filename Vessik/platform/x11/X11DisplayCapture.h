#pragma once

#include <functional>
#include <optional>
#include <vector>
#include <xcb/xcb.h>

#include <QtCore/QAbstractNativeEventFilter>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <QtCore/QTimer>

#include "keeper/x11/X11Cover.h"
#include "keeper/x11/X11GrabKeeper.h"
#include "platform/DisplayCapture.h"
#include "platform/InputGuard.h"
#include "platform/x11/X11Keyboard.h"

// Display capture on an X server: the displays are the RandR monitors of the
// screen (the whole screen when RandR lists none).
//
// A capture maps a black override-redirect shield over the monitor; the first
// also covers whatever part of the root window no monitor covers (another
// client may define monitors that leave most of the framebuffer out), and takes
// the keyboard and the pointer. Where the server has the Composite extension and
// no compositing manager runs, the shields and the lock window live inside the
// composite overlay window, above every other window: nothing another client
// maps or raises can come above them, and what it paints on the overlay itself
// is hidden by them. A compositing manager paints the overlay itself, over what
// is inside it (and would paint the desktop over the lock whenever something
// changes behind it): then they live on the root, which it composites, and an
// empty window of ours in the overlay hides what other clients paint there.
// Without Composite they live on the root. On the root they rise again
// whenever another window is mapped above them.
//
// While a guard runs (InputGuard) the guard takes the input, maps a shield of
// its own under ours and hands the keys it receives to this process over its
// link, so that the input stays held if this process ends; only without a guard
// (or once it ended) are the grabs this process's own (X11GrabKeeper, driven
// from a QTimer here). Key and button events that another client sends
// (SendEvent) are dropped while anything is captured: only real input, and the
// guard's, reaches the lock window. Once the lock window is known
// (raiseAboveShields) the grabs are moved onto it (or the guard is told where
// the keys go) and it gets the input focus, so typing reaches its password
// field. While anything is captured, what is on the screen is kept the way the
// lock put it:
//  - a refused grab is asked for again every 10 ms, held grabs are checked a few
//    times a second and taken back when lost; inputHeld() tells the truth;
//  - a window that gets mapped above a shield or the lock window makes them
//    rise again (VisibilityNotify on our own windows);
//  - a shield or the lock window that another client unmaps is mapped again,
//    one it moves or resizes is put back, one it destroys is made again, and a
//    window another client creates inside them (or reparents into them) is
//    destroyed; then they are raised and the grabs taken again; the overlay
//    window unmapped is mapped again, and destroyed, everything moves to the root;
//  - a monitor that appears gets a shield, one that goes loses it, one that
//    moves has its shield moved, and the parts of the root that no monitor
//    covers, whatever its size now, stay covered.
// The release of the last display listed by the most recent activeDisplays()
// unmaps every shield and gives the grabs back.
//
// Works on Qt's own xcb connection; without one (offscreen, Wayland) no display
// is listed and every operation does nothing.
class X11DisplayCapture : public QObject, public DisplayCapture, public QAbstractNativeEventFilter {
public:
    // `guard` (may be null) must outlive the capture.
    explicit X11DisplayCapture(InputGuard* guard = nullptr);
    ~X11DisplayCapture() override;

    std::vector<DisplayId> activeDisplays(std::size_t maxCount) override;
    void capture(DisplayId display) override;
    void release(DisplayId display) override;
    QRect screenArea() override { return area_; }
    void showLockWindow(QWidget* window) override;
    void raiseAboveShields(QWidget* window) override;
    bool inputHeld() const override;
    void setInputHeldCallback(std::function<void(bool held)> callback) override;
    KeyboardState keyboardState() override;
    void setKeyboardChangedCallback(std::function<void()> callback) override {
        keyboardChangedCallback_ = std::move(callback);
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Monitor {
        DisplayId id;
        QRect rect; // native pixels, root coordinates
    };

    // A black override-redirect window over one monitor, or over a part of the
    // root no monitor covers (a gap), mapped on creation and destroyed with the
    // object (move-only; a moved-from shield owns no window).
    class Shield {
    public:
        // The id of a gap's shield: never a monitor's (a monitor is named by an atom, or 0).
        static constexpr DisplayId kGap = 0xFFFFFFFF;

        Shield(xcb_connection_t* c, const xcb_screen_t& screen, xcb_window_t parent, const Monitor& monitor);
        ~Shield();
        Shield(Shield&& other) noexcept;
        Shield& operator=(Shield&& other) noexcept;
        Shield(const Shield&) = delete;
        Shield& operator=(const Shield&) = delete;

        DisplayId id() const { return id_; }
        bool gap() const { return id_ == kGap; }
        const QRect& rect() const { return rect_; }
        xcb_window_t window() const { return window_; }
        // Moves and resizes the window onto `rect`.
        void moveTo(const QRect& rect);
        // The window was destroyed by someone else: the object no longer owns it.
        void forget() { window_ = XCB_NONE; }

    private:
        xcb_connection_t* c_;
        DisplayId id_;
        QRect rect_;
        xcb_window_t window_;
    };

    // The monitors (and, as a side effect, the root's size in area_).
    std::vector<Monitor> monitors(std::size_t maxCount);
    // Where our windows live: the overlay window while we hold it and no
    // compositing manager paints it, else the root.
    xcb_window_t home() const;
    // Takes the overlay window for the lock (and, under a compositing manager,
    // puts the protector into it).
    void takeOverlay();
    void makeProtector();
    void mapShield(const Monitor& monitor);
    // Gives the parts of the root that `covered` leaves out shields of their own
    // (none when the monitors tile it), replacing the gaps' shields there were.
    void coverGaps(const std::vector<QRect>& covered);
    std::vector<QRect> monitorRects() const;
    // Destroys the shield (and with it any grab on its window).
    std::vector<Shield>::iterator dropShield(std::vector<Shield>::iterator shield);
    void releaseAll();
    // Gives the keyboard's focus back where it was before the capture.
    void giveFocusBack();
    // The window the grabs belong on: the lock window while it is shown, else the first shield.
    xcb_window_t grabTarget() const;
    // Asks for the grabs on grabTarget() and keeps the grab timer running.
    void grabInput();
    // Reads the grab replies in flight; the timer then takes over.
    void collectGrabs();
    void tickGrabs();
    void scheduleGrabTick();
    // Moves the lock window's native window into home() (Qt makes it on the root).
    void moveLockWindowHome();
    // Selects what the lock window must report, notes its geometry, removes
    // windows of other clients inside it, raises it and gives it the focus and the grabs.
    void placeLockWindow();
    // Our windows bottom to top: the gaps' shields, the monitors', the lock window.
    std::vector<xcb_window_t> stackedWindows() const;
    // Puts them on top in that order, unless they already are (keepOnTop).
    void keepOnTop();
    void restack();
    // restack(), the grabs onto the lock window, and out to the server now.
    void putOnTop();
    void followMonitors();
    void watchScreens(bool on);
    xcb_window_t lockWindowId() const;
    // Undoes what another client did to a shield, the lock window or the overlay
    // window; true when the event was about one of them.
    bool restoreOurWindows(const xcb_generic_event_t* event);
    // The overlay window was unmapped or destroyed.
    void restoreOverlay(const X11WindowChange& change);
    // Undoes what another client did to the protector.
    void restoreProtector(const X11WindowChange& change);
    void destroyForeignChildren(xcb_window_t parent);
    // Shows the lock window again in a new native window, after another client destroyed it.
    void remakeLockWindow();
    // A key the guard received: the hotkeys see it first, as if it came from
    // the server, then the lock window's focused widget.
    void deliverKey(QByteArray& event);
    // Calls the inputHeld callback, from the event loop, when inputHeld() differs from what it last said.
    void reportInputHeld();
    // reportInputHeld() now, or from the event loop when inside Qt's event filters.
    void inputHeldMayHaveChanged();
    // The guard ended: the capture takes the input itself.
    void guardEnded();

    xcb_connection_t* connection_;
    const xcb_screen_t* screen_ = nullptr;
    bool listsMonitors_ = false;
    bool hasOverlay_ = false;
    xcb_window_t overlay_ = XCB_NONE;       // held from the first capture to the last release
    xcb_window_t protector_ = XCB_NONE;     // under a compositing manager: an empty window over the overlay
    std::optional<std::uint32_t> rootMask_; // Qt's own events on the root, while ours are added to them
    std::optional<xcb_get_input_focus_cookie_t> focusAsked_; // the focus before the capture, asked for
    QRect area_;                                             // the root's rectangle, as last asked
    InputGuard* guard_;
    // The guard holds the input of the current capture.
    bool guardHolds_ = false;

    std::vector<Monitor> lastListed_;
    bool monitorsKnown_ = false; // lastListed_ stands: captured, and no screen changed since
    QPointer<QWidget> lockWindow_;
    // The lock window's X window while captured, and where it belongs (root coordinates).
    xcb_window_t lockWindowX_ = XCB_NONE;
    QRect lockRect_;
    bool lockWindowLost_ = false; // destroyed by another client, not made again yet
    std::vector<Shield> shields_; // the monitors' first, in the order they were captured, then the gaps'
    // After the shields: member cleanup ungrabs before the windows go, as releaseAll() does.
    X11GrabKeeper grabs_;
    X11Keyboard keyboard_;
    QTimer grabTick_;
    QTimer monitorChange_;
    std::vector<QMetaObject::Connection> screenConnections_;
    std::function<void(bool)> inputHeldCallback_;
    std::function<void()> keyboardChangedCallback_;
    bool keyboardReportQueued_ = false;
    bool reportedHeld_ = false;
    bool reportQueued_ = false;
    bool inEventFilter_ = false;
};
