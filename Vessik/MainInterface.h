#pragma once

#include <memory>

#include "common/Bundle.h"
#include "platform/PlatformServices.h"

class OverrideWindow;
class QMenu;
class QWidget;
class VessikAppDelegate;

namespace Ui {
class SettingsWindow;
}

// What the main interface file of a desktop program does: creates the delegate,
// the status menu, the settings window and the lock window from their .ui files,
// connects every outlet through its setter and every action to the delegate.
// It owns the windows and the menu for as long as it lives (the whole process in
// `main`; one test case in the tests).
class MainInterface {
public:
    // When the settings window is built: with everything else (the tests), or
    // the first time the user opens it (the program: an unused window would hold
    // a few hundred kilobytes for the whole life of a resident process).
    enum class SettingsWindowCreation { AtStart, OnFirstOpen };

    MainInterface(Bundle bundle, PlatformServices platform,
                  SettingsWindowCreation creation = SettingsWindowCreation::AtStart);
    ~MainInterface();
    MainInterface(const MainInterface&) = delete;
    MainInterface& operator=(const MainInterface&) = delete;

    VessikAppDelegate& delegate() { return *delegate_; }
    QWidget& settingsWindow() { return *settingsWindow_; }
    const Ui::SettingsWindow& settingsUi() const { return *settingsUi_; }
    OverrideWindow& lockWindow() { return *lockWindow_; }
    QMenu& trayMenu() { return *trayMenu_; }

private:
    void createSettingsWindow();
    void connectSettingsWindow();
    void connectLockWindow();
    void buildTrayMenu();

    std::unique_ptr<QWidget> settingsWindow_;
    std::unique_ptr<Ui::SettingsWindow> settingsUi_;
    std::unique_ptr<OverrideWindow> lockWindow_;
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<VessikAppDelegate> delegate_;
};
