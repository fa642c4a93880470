#pragma once

#include <memory>

#include "MainInterface.h"
#include "VessikAppDelegate.h"
#include "fakes/FakePlatform.h"
#include "fakes/TestBundle.h"

// Vessik started the way its program starts it, for the tests: the real
// interface (offscreen widgets) or the bare delegate, over a temporary copy of
// the bundle and fake platform services, taken up to a chosen point of start-up.
// Tests derive their fixture from it or keep one as a local.
class RunningVessik {
public:
    // How far start-up goes, in the program's order: the objects built, woken
    // from the interface (awakeFromNib), launched (applicationDidFinishLaunching).
    enum Stage { Built, Awake, Launched };

    struct Start {
        Stage upTo = Launched;
        bool interface = true; // false: the delegate alone, without windows or menu
        MainInterface::SettingsWindowCreation settingsWindow = MainInterface::SettingsWindowCreation::AtStart;
        std::optional<QString> lockRefusal = std::nullopt;    // a session that cannot be locked, and why
        std::optional<QByteArray> resumedLock = std::nullopt; // started again by the keeper of this lock state
    };

    // The settings file, and the fakes of the Vessik running now (fresh at every start).
    TestBundle files;
    FakePlatform fakes;

    // A bundle copy and fakes; nothing runs until start().
    RunningVessik() = default;
    explicit RunningVessik(const Start& how) { start(how); }

    // Ends the Vessik running, if any, then starts one on the current settings
    // file with fresh fakes, as `how` says.
    void start(const Start& how);
    // Ends the Vessik running and starts it again as it was started last.
    void restart() { start(how_); }

    // The running interface (only when started with one) and its delegate (only
    // once started); both end at the next start and with this object.
    MainInterface& ui() { return *ui_; }
    VessikAppDelegate& delegate() { return ui_ ? ui_->delegate() : *bareDelegate_; }

private:
    Start how_;
    // Declared after the fakes and the bundle copy: ended before them.
    std::unique_ptr<MainInterface> ui_;
    std::unique_ptr<VessikAppDelegate> bareDelegate_;
};
