#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <QtCore/QRect>
#include <QtCore/QString>

class QWidget;

// Identifier of an active display (a monitor of the X screen).
using DisplayId = std::uint32_t;

// What the keyboard does to typing now, so that a refused password is never a mystery.
struct KeyboardState {
    bool capsLock = false;  // Caps Lock is on
    bool shiftLock = false; // Shift is locked (by a Shift Lock key, or by another program)
    QString layout;         // the name of the active layout; empty when unknown
    int layouts = 0;        // how many layouts the keyboard has; 0 when unknown
};

// Taking the displays for Vessik alone during a lock.
//
// A captured display is covered by a black shield that stays above every other
// client's windows. The first capture also takes the keyboard and the pointer;
// while another client holds them, the implementation keeps retrying until it
// gets them, and takes them back when they are lost, so a lock never pretends to
// hold input it does not have: inputHeld() says whether it has it now.
class DisplayCapture {
public:
    virtual ~DisplayCapture() = default;

    // The active displays, at most `maxCount` of them, in a stable order. Empty
    // when they cannot be listed.
    virtual std::vector<DisplayId> activeDisplays(std::size_t maxCount) = 0;

    // Covers `display` with a shield; does nothing when that display is unknown
    // or already covered.
    virtual void capture(DisplayId display) = 0;

    // Gives `display` back; with the last release, the keyboard and pointer too.
    virtual void release(DisplayId display) = 0;

    // The whole area the displays lie on (the screen the shields cover, which a
    // list of displays may not tile), in the coordinates of the displays' own
    // rectangles; empty when unknown.
    virtual QRect screenArea() = 0;

    // Shows `window` (the lock window, sized and placed) where the lock shows its
    // view: above every shield. Called once per lock, after the first capture.
    virtual void showLockWindow(QWidget* window) = 0;

    // Puts `window` (the lock window, already shown) above every shield and makes
    // it the window that receives the grabbed keyboard and pointer. Does not take
    // ownership; the window must outlive the capture.
    virtual void raiseAboveShields(QWidget* window) = 0;

    // Whether the keyboard and the pointer are both held for the current
    // capture (false while nothing is captured).
    virtual bool inputHeld() const = 0;
    // `callback` runs on the main thread whenever inputHeld() changes.
    // There is one callback: a later call replaces it. The delegate sets it when
    // it is made (VessikAppDelegate's constructor).
    virtual void setInputHeldCallback(std::function<void(bool held)> callback) = 0;

    // The keyboard's locks and layout now; all false and empty when that cannot be known.
    virtual KeyboardState keyboardState() = 0;
    // `callback` runs on the main thread when the keyboard's locks or layout may
    // have changed during a capture by other means than a key the lock window
    // received (another program locked Shift, or switched the layout). One
    // callback: a later call replaces it.
    virtual void setKeyboardChangedCallback(std::function<void()> callback) = 0;

    // The lock window's content changed (its lines, its picture, its field).
    // Where the platform draws the window into the lock itself (Wayland) it
    // draws it again; where the window is shown as a window (X11) nothing.
    virtual void lockViewChanged() {}
    // Whether the platform draws the lock window into the lock itself (Wayland)
    // instead of showing it as a window. The lock's picture is then decoded only
    // after the first draw, so that the system's word that the lock holds is
    // heard first.
    virtual bool drawsLockWindow() const { return false; }
    // `callback` runs on the main thread when a capture ends for good without a
    // release: the system refused to lock, or ended the lock itself. The screen
    // is not covered any more then; `why` is one line for the log. Never on X11,
    // where a capture waits for the input as long as it takes.
    virtual void setCaptureLostCallback(std::function<void(const QString& why)> callback) { (void)callback; }
};
