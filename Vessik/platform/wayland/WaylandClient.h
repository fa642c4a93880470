#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QtCore/QObject>
#include <QtCore/QRect>
#include <QtCore/QSocketNotifier>

#include "platform/xkb/XkbKeyboard.h"

struct wl_compositor;
struct wl_display;
struct wl_keyboard;
struct wl_output;
struct wl_registry;
struct wl_seat;
struct wl_shm;
struct ext_idle_notifier_v1;
struct ext_session_lock_manager_v1;

// Vessik's own connection to the Wayland compositor, beside Qt's (which shows the
// settings window): the globals the lock and the idle time need, the outputs as
// they come and go, and the seat's keyboard with its keymap. Its descriptor is
// read in Qt's event loop, and what was asked is flushed before the loop sleeps.
//
// One object per process; the lock (WaylandSessionLock) and the idle counter
// (WaylandIdleCounter) share it.
class WaylandClient : public QObject {
    Q_OBJECT

public:
    // Connects to $WAYLAND_DISPLAY and learns the globals (two round trips).
    // Null when the compositor cannot be reached.
    static std::unique_ptr<WaylandClient> connect();
    ~WaylandClient() override;
    WaylandClient(const WaylandClient&) = delete;
    WaylandClient& operator=(const WaylandClient&) = delete;

    // Whether the compositor can be reached and offers the session lock; the one
    // check of a Wayland session (main's refusal, the platform). Empty when it
    // can, else why not, for the log and the screen.
    static QString lockSupportProblem();

    wl_display* display() const { return display_; }
    wl_compositor* compositor() const { return compositor_; }
    wl_shm* shm() const { return shm_; }
    ext_session_lock_manager_v1* lockManager() const { return lockManager_; }
    ext_idle_notifier_v1* idleNotifier() const { return idleNotifier_; }
    wl_seat* seat() const { return seat_; }

    struct Output {
        std::uint32_t name = 0; // the registry's name: the output's identity
        wl_output* output = nullptr;
        QRect geometry; // position in the compositor's space, size in pixels
        std::int32_t scale = 1;
        WaylandClient* owner = nullptr;
        bool announced = false; // outputAdded was emitted
        // Position and size in the compositor's logical space.
        QRect logicalGeometry() const { return QRect(geometry.topLeft(), geometry.size() / std::max(1, scale)); }
    };
    const std::vector<std::unique_ptr<Output>>& outputs() const { return outputs_; }

    // The keyboard's keymap and state, as the compositor sent them last.
    XkbKeyboard& keyboard() { return keyboard_; }
    // Key repeat as the compositor asks for it: keys a second (0: none) and the
    // delay before the first repeat.
    int repeatRate() const { return repeatRate_; }
    int repeatDelayMs() const { return repeatDelay_; }

    // Sends what was asked and reads what came, without waiting.
    void flush();
    // Sends what was asked and waits until the compositor has handled it.
    void roundtrip();
    // Whether the connection still works.
    bool alive() const;

Q_SIGNALS:
    // An output's description is complete for the first time.
    void outputAdded(WaylandClient::Output* output);
    // Emitted before the output is destroyed.
    void outputRemoved(WaylandClient::Output* output);
    // A key of the seat's keyboard, pressed or released, on a surface of ours
    // (the xkb keycode: the evdev code + 8).
    void key(bool pressed, std::uint32_t keycode);
    // The keyboard's keymap, modifiers, locks or layout changed.
    void keyboardChanged();
    // The keyboard left our surfaces (or went away): keys held are up.
    void keyboardLeft();
    // The compositor closed the connection.
    void lost();

private:
    explicit WaylandClient(wl_display* display);
    void readEvents();
    void dispatchPending();

    static void registryGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                               std::uint32_t version);
    static void registryGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
    void seatCapabilities(std::uint32_t capabilities);
    void keymap(std::uint32_t format, int fd, std::uint32_t size);
    void modifiers(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked, std::uint32_t group);

    friend struct WaylandListeners;

    wl_display* display_;
    wl_registry* registry_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    wl_seat* seat_ = nullptr;
    std::uint32_t seatName_ = 0;
    wl_keyboard* keyboardProxy_ = nullptr;
    ext_session_lock_manager_v1* lockManager_ = nullptr;
    ext_idle_notifier_v1* idleNotifier_ = nullptr;
    std::vector<std::unique_ptr<Output>> outputs_;
    XkbKeyboard keyboard_;
    int repeatRate_ = 25;
    int repeatDelay_ = 600;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool lostReported_ = false;
};
