#pragma once

#include <memory>

#include <QtWidgets/QWidget>

namespace Ui {
class LockWindow;
}

// The lines of text below the lock window's password field, each shown or not.
struct LockFeedback {
    bool waitingForKeyboard = false; // another client holds the keyboard or the pointer
    bool wrongPassword = false;      // the field is disabled after a wrong entry
    bool lastAttempt = false;        // the next wrong entry forces the shutdown
    bool capsLock = false;           // Caps Lock is on
    bool shiftLock = false;          // Shift is locked
    QString layout;                  // the keyboard layout to name; empty: none named
};

// The lock window: a frameless window that bypasses the window manager
// (override-redirect) and can still take the keyboard focus, so that typing
// reaches its password field (a PasswordField). Built from ui/LockWindow.ui;
// hidden until a lock.
class OverrideWindow : public QWidget {
    Q_OBJECT
public:
    explicit OverrideWindow(QWidget* parent = nullptr);
    ~OverrideWindow() override;

    // Whether the window may take the keyboard focus; lockScreen activates it and
    // focuses its password field only then. Always true: typing must reach the
    // field although no window manager hands this window the focus.
    bool canBecomeKeyWindow() const { return true; }
    // Whether the window may be the application's front window; lockScreen raises
    // it only then. Always true.
    bool canBecomeMainWindow() const { return true; }

    const Ui::LockWindow& ui() const { return *ui_; }

    // Destroys the hidden window's native window and backing store, which a lock
    // of a full screen would otherwise keep for the life of the process. The next
    // show() creates them again. Does nothing while the window is shown.
    void discardNativeWindow();

    // Shows exactly the lines of `feedback` below the password field (all hidden
    // when the window is built). The field and the picture do not move.
    void showFeedback(const LockFeedback& feedback);

    // Hides the window as a window without modality: hiding a modal window makes
    // Qt look for the window under the pointer with a round trip per window, some
    // milliseconds of the unlock. Modal again at the next show.
    void setVisible(bool visible) override;

Q_SIGNALS:
    // The window has been painted (at the end of each paint of the window itself).
    void painted();

protected:
    void paintEvent(QPaintEvent* event) override;
    // Ignores every close request: the window manager's, and WM_DELETE_WINDOW
    // from any client. Only an unlock hides the window; closing it mid-lock would
    // leave no way to unlock.
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::LockWindow> ui_;
};
