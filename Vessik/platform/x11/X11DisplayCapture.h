#pragma once

#include <optional>
#include <vector>
#include <xcb/xcb.h>

#include <QtCore/QAbstractNativeEventFilter>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <QtCore/QTimer>

#include "platform/DisplayCapture.h"

// Display capture on an X server: the displays are the RandR monitors of the
// screen (the whole screen when RandR lists none).
//
// A capture maps a black override-redirect shield over the monitor. The first
// capture also grabs the keyboard and the pointer; once the lock window is
// known (raiseAboveShields) the grab is moved onto it, so typing reaches its
// password field. A grab that another client's grab refuses is retried every
// 10 ms until it succeeds; the input counts as held once the server granted
// both. While anything is captured:
//  - a window that gets mapped above a shield or the lock window makes them
//    rise again (VisibilityNotify on our own windows);
//  - a monitor that appears gets a shield, one that goes loses it, one that
//    moves has its shield moved.
// The release of the last display listed by the most recent activeDisplays()
// unmaps every shield and gives the grabs back.
//
// Works on Qt's own xcb connection; without one (offscreen, Wayland) no display
// is listed and every operation does nothing.
class X11DisplayCapture : public QObject, public DisplayCapture, public QAbstractNativeEventFilter {
public:
    X11DisplayCapture();
    ~X11DisplayCapture() override;

    std::vector<DisplayId> activeDisplays(std::size_t maxCount) override;
    void capture(DisplayId display) override;
    void release(DisplayId display) override;
    void raiseAboveShields(QWidget* window) override;
    bool inputHeld() const override { return grabs_.bothHeld(); }
    void setInputHeldCallback(std::function<void(bool held)> callback) override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Monitor {
        DisplayId id;
        QRect rect; // native pixels, root coordinates
    };

    // A black override-redirect window over one monitor, mapped on creation and
    // destroyed with the object (move-only; a moved-from shield owns no window).
    class Shield {
    public:
        Shield(xcb_connection_t* c, xcb_window_t root, std::uint32_t blackPixel, const Monitor& monitor);
        ~Shield();
        Shield(Shield&& other) noexcept;
        Shield& operator=(Shield&& other) noexcept;
        Shield(const Shield&) = delete;
        Shield& operator=(const Shield&) = delete;

        DisplayId id() const { return id_; }
        const QRect& rect() const { return rect_; }
        xcb_window_t window() const { return window_; }
        // Moves and resizes the window onto `rect`.
        void moveTo(const QRect& rect);

    private:
        xcb_connection_t* c_;
        DisplayId id_;
        QRect rect_;
        xcb_window_t window_;
    };

    // The keyboard and pointer grabs of this client on one window: the requests
    // in flight and what the server granted. From the first request until
    // release() (or destruction) both grabs are given back on release, whatever
    // the replies said, since a reply not read yet may be a success.
    class InputGrabs {
    public:
        explicit InputGrabs(xcb_connection_t* c) : c_(c) {}
        ~InputGrabs() { release(); }
        InputGrabs(const InputGrabs&) = delete;
        InputGrabs& operator=(const InputGrabs&) = delete;

        // Sends grab requests onto `target` for what is not held there yet (both
        // when the grabs are on another window); the replies are read by collect().
        void request(xcb_window_t target);
        // Reads the replies of request(), if any are pending.
        void collect();
        // Whether anything was requested since the last release.
        bool requested() const { return requested_; }
        // The window the grabs were last requested on; XCB_NONE when none are.
        xcb_window_t window() const { return window_; }
        bool bothHeld() const { return keyboardHeld_ && pointerHeld_; }
        // The server ended the grabs along with `window`, if they were on it.
        void windowDestroyed(xcb_window_t window);
        // Drops pending replies and ungrabs both; nothing when nothing was requested.
        void release();

    private:
        xcb_connection_t* c_;
        bool requested_ = false; // since the last release
        xcb_window_t window_ = XCB_NONE;
        bool keyboardHeld_ = false;
        bool pointerHeld_ = false;
        std::optional<xcb_grab_keyboard_cookie_t> pendingKeyboard_;
        std::optional<xcb_grab_pointer_cookie_t> pendingPointer_;
    };

    std::vector<Monitor> monitors(std::size_t maxCount);
    void mapShield(const Monitor& monitor);
    // Reads pending grab replies, then destroys the shield (and with it any grab on its window).
    std::vector<Shield>::iterator dropShield(std::vector<Shield>::iterator shield);
    void releaseAll();
    // The window the grabs belong on: the lock window while it is shown, else the first shield.
    xcb_window_t grabTarget() const;
    // Sends grab requests for what is not held yet, onto grabTarget().
    void requestGrabs();
    // Reads the replies of requestGrabs(), if any are pending; retries while a grab is refused.
    void collectGrabs();
    void grabInput(); // both
    // Runs the input-held callback when inputHeld() differs from what it last told.
    void reportInputHeld();
    // Puts the shields and then the lock window on top, unless they already are.
    void keepOnTop();
    void restack();
    void followMonitors();
    void watchScreens(bool on);
    xcb_window_t lockWindowId() const;

    xcb_connection_t* connection_;
    xcb_window_t root_ = XCB_NONE;
    std::uint32_t blackPixel_ = 0;
    bool randrMonitors_ = false;

    std::vector<Monitor> lastListed_;
    QPointer<QWidget> lockWindow_;
    std::vector<Shield> shields_;
    // After the shields: member cleanup ungrabs before the windows go, as releaseAll() does.
    InputGrabs grabs_;
    QTimer grabRetry_;
    QTimer monitorChange_;
    std::vector<QMetaObject::Connection> screenConnections_;
    std::function<void(bool held)> inputHeldCallback_;
    bool reportedInputHeld_ = false;
};
