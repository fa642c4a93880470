#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QTimer>

#include "platform/DisplayCapture.h"
#include "platform/wayland/WaylandClient.h"

class QKeyEvent;
struct ext_session_lock_v1;

// The lock on Wayland, through the compositor's session lock (ext-session-lock-v1):
// once the compositor says `locked`, it shows nothing but our lock surfaces and
// sends keys to them alone, and it stays locked if Vessik dies (the next Vessik
// locks again and takes over). Nothing of this can be raised over or grabbed
// away, so "covered" and "input held" are one thing here: the `locked` event.
//
// Each output gets a lock surface, also one that appears during the lock; the
// one the lock window belongs on shows the lock window, drawn with
// QWidget::render into shared-memory buffers at the output's size and scale
// (the window itself is never shown: Qt would make surfaces of its own), the
// others are black. The window is drawn again when lockViewChanged() says so
// and after every key. Keys come from the seat's keyboard through xkbcommon,
// with key repeat, and go first to the hotkeys (`setKeyFilter`), then to the
// window's focus widget as Qt key events.
//
// `finished` before `locked` (another locker holds the session, or the
// compositor refuses) and `finished` after it (the compositor ended the lock)
// are reported through the refusal callback; the lock is never reported as held
// then.
class WaylandSessionLock : public QObject, public DisplayCapture {
    Q_OBJECT

public:
    explicit WaylandSessionLock(std::shared_ptr<WaylandClient> client);
    ~WaylandSessionLock() override;

    std::vector<DisplayId> activeDisplays(std::size_t maxCount) override;
    void capture(DisplayId display) override;
    void release(DisplayId display) override;
    QRect screenArea() override;
    void showLockWindow(QWidget* window) override;
    void raiseAboveShields(QWidget* window) override;
    bool inputHeld() const override { return locked_; }
    void setInputHeldCallback(std::function<void(bool held)> callback) override { heldCallback_ = std::move(callback); }
    KeyboardState keyboardState() override;
    void setKeyboardChangedCallback(std::function<void()> callback) override { keyboardChanged_ = std::move(callback); }
    void lockViewChanged() override;
    bool drawsLockWindow() const override { return true; }
    void setCaptureLostCallback(std::function<void(const QString& why)> callback) override {
        lost_ = std::move(callback);
    }

    // Sees every key press first; returns true when it took the key (a hotkey).
    using KeyFilter = std::function<bool(const QKeyEvent& event, std::uint32_t keycode)>;
    void setKeyFilter(KeyFilter filter) { keyFilter_ = std::move(filter); }

    // A shared-memory buffer, and one output's lock surface with two of them.
    struct Buffer;
    struct Surface;

private:
    void lock();
    // Ends the lock: unlock_and_destroy once locked, else the lock object goes.
    void unlock();
    // Destroys the lock object and its surfaces; `unlocking` tells the compositor
    // to let go (only once it has said the lock holds).
    void dropLock(bool unlocking);
    void addSurface(WaylandClient::Output* output);
    void removeSurface(WaylandClient::Output* output);
    void configured(Surface& surface, std::uint32_t serial, std::uint32_t width, std::uint32_t height);
    // Draws `surface` into a free buffer and commits it; marks it dirty when both are busy.
    void draw(Surface& surface);
    void drawAll();
    Surface* viewSurface();
    void lockedEvent();
    void finishedEvent();
    void key(bool pressed, std::uint32_t keycode, bool repeat);
    void setHeld(bool held);

    friend struct SessionLockListeners;

    std::shared_ptr<WaylandClient> client_;
    ext_session_lock_v1* lock_ = nullptr;
    bool locked_ = false;
    std::vector<DisplayId> captured_;
    std::vector<std::unique_ptr<Surface>> surfaces_;
    QPointer<QWidget> window_;
    std::function<void(bool)> heldCallback_;
    std::function<void()> keyboardChanged_;
    std::function<void(const QString&)> lost_;
    KeyFilter keyFilter_;
    QTimer drawSoon_;
    QTimer repeat_;
    std::uint32_t repeatKey_ = 0;
};
