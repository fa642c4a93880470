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

    bool canBecomeKeyWindow() const { return true; }
    bool canBecomeMainWindow() const { return true; }

    const Ui::LockWindow& ui() const { return *ui_; }

private:
    std::unique_ptr<Ui::LockWindow> ui_;
};
