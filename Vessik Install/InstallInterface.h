#pragma once

#include <memory>

#include "platform/InstallerPlatform.h"

class QWidget;
class Vessik_InstallAppDelegate;

namespace Ui {
class InstallWindow;
}

// What the installer's main interface file does: creates the delegate and the
// window from ui/InstallWindow.ui, connects the four outlets through their
// setters and the two actions (Install, Quit) to the delegate. It owns the
// window for as long as it lives (the whole process in `main`; one test case in
// the tests). The window is not shown here.
class InstallInterface {
public:
    InstallInterface(InstallLocations locations, InstallerServices services);
    ~InstallInterface();
    InstallInterface(const InstallInterface&) = delete;
    InstallInterface& operator=(const InstallInterface&) = delete;

    // In the order they are built: the window, its form, then the delegate that
    // refers to both.
    QWidget& window() { return *window_; }
    const Ui::InstallWindow& ui() const { return *ui_; }
    Vessik_InstallAppDelegate& delegate() { return *delegate_; }

private:
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<Ui::InstallWindow> ui_;
    std::unique_ptr<Vessik_InstallAppDelegate> delegate_;
};
