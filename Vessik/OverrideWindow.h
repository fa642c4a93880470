#pragma once

#include <memory>

#include <QtWidgets/QWidget>

namespace Ui {
class LockWindow;
}

// The lock window: a frameless window that bypasses the window manager
// (override-redirect) and can still take the keyboard focus, so that typing
// reaches its password field. Built from ui/LockWindow.ui; hidden until a lock.
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

private:
    std::unique_ptr<Ui::LockWindow> ui_;
};
