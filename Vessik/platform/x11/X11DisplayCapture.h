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
// 10 ms until it succeeds. While anything is captured:
//  - a window that gets mapped above a shield or the lock window makes them
//    rise again (VisibilityNotify on our own windows);
//  - a monitor that appears gets a shield, one that goes loses it, one that
//    moves has its shield moved.
// The release of the last display listed by the most recent activeDisplays()
// unmaps every shield and gives the grabs back.
//
// Works on Qt's own xcb connection; without one (offscreen, Wayland) every
// operation reports failure and does nothing.
class X11DisplayCapture : public QObject, public DisplayCapture, public QAbstractNativeEventFilter {
public:
    X11DisplayCapture();
    ~X11DisplayCapture() override;

    std::vector<DisplayId> activeDisplays(std::size_t room) override;
    bool capture(DisplayId display) override;
    void release(DisplayId display) override;
    void raiseAboveShields(QWidget* window) override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Monitor {
        DisplayId id;
        QRect rect; // native pixels, root coordinates
    };
    struct Shield {
        DisplayId id;
        QRect rect;
        xcb_window_t window;
    };

    std::vector<Monitor> monitors(std::size_t room);
    void mapShield(const Monitor& monitor);
    void destroyShield(const Shield& shield);
    void releaseAll();
    // The window the grabs belong on: the lock window while it is shown, else the first shield.
    xcb_window_t grabTarget() const;
    // Sends grab requests for what is not held yet, onto grabTarget().
    void requestGrabs();
    // Reads the replies of requestGrabs(), if any are pending; retries while a grab is refused.
    void collectGrabs();
    void grabInput(); // both
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

    std::vector<Shield> shields_;
    std::vector<Monitor> lastListed_;
    QPointer<QWidget> lockWindow_;
    xcb_window_t grabWindow_ = XCB_NONE; // where the held grabs are
    bool keyboardHeld_ = false;
    bool pointerHeld_ = false;
    std::optional<xcb_grab_keyboard_cookie_t> pendingKeyboard_;
    std::optional<xcb_grab_pointer_cookie_t> pendingPointer_;
    QTimer grabRetry_;
    QTimer monitorChange_;
    std::vector<QMetaObject::Connection> screenConnections_;
};
