// Vessik in the desktop session: locking before the system sleeps, when the
// session asks and when a program starts the display's screen saver, the
// screen-saver service of the session bus, and the session's hints.
#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

const QString kSleepWhy = QStringLiteral("Vessik locks the screen before the system sleeps");

} // namespace

void VessikAppDelegate::startSessionIntegration() {
    if (platform_.lockRefusal || sessionIntegrationStarted_) {
        return;
    }
    sessionIntegrationStarted_ = true;
    connect(lockSession_, &LockSession::sleepWaitOver, this, [this] {
        log(QStringLiteral("The screen was not locked within %1 s of the system going to sleep: the sleep goes ahead.")
                .arg(kSleepDelayMs / 1000));
        letSleepGoAhead();
    });
    // `xset s activate` asks for a lock the way X11 tools do.
    if (platform_.idle) {
        platform_.idle->setScreenSaverActivatedCallback([this] { lockScreen(); });
    }
    if (platform_.session) {
        const std::optional<QString> problem = platform_.session->start({
            .lock = [this] { lockScreen(); },
            .prepareForSleep = [this](bool starting) { prepareForSleep(starting); },
            .log = [this](const QString& line) { log(line); },
        });
        if (problem) {
            log(*problem);
        }
    }
    if (platform_.screenSaver) {
        const std::optional<QString> problem = platform_.screenSaver->start({
            .lock = [this] { lockScreen(); },
            .active = [this] { return lockSession_->holds(); },
            .idleSeconds = [] { return SystemIdleTime(); },
            .inhibitionsChanged =
                [this](bool inhibited) {
                    // The idle timer slept as if no time had passed: the lock may be due now.
                    if (!inhibited) {
                        restoreSecondTick();
                    } else {
                        updateIdleHint(false); // not idle while a film plays
                    }
                    // A Vessik started again mid-lock keeps them.
                    if (isCaptured_) {
                        handLockOver();
                    }
                },
            .log = [this](const QString& line) { log(line); },
        });
        if (problem) {
            log(*problem);
        }
    }
    updateSleepInhibitor();
}

void VessikAppDelegate::prepareForSleep(bool starting) {
    if (!sessionIntegrationStarted_) {
        return;
    }
    if (!starting) {
        lockSession_->stopSleepWait();
        updateSleepInhibitor();
        return;
    }
    lockScreen();
    if (platform_.displays->inputHeld()) {
        lockBeganToHold();
    }
    if (lockSession_->holds() || !isCaptured_) {
        // Locked, or the lock is refused ("Password" missing, "InactivityTime" 0):
        // nothing to wait for.
        letSleepGoAhead();
    } else {
        lockSession_->sleepWaits(kSleepDelayMs); // the input is not held yet
    }
}

bool VessikAppDelegate::idleLockInhibited() const {
    return platform_.screenSaver && platform_.screenSaver->inhibited();
}

void VessikAppDelegate::lockBeganToHold() {
    if (!isCaptured_ || !lockSession_->beganToHold()) {
        return;
    }
    letSleepGoAhead();
    answerLockCommands();
    if (platform_.session) {
        platform_.session->setLockedHint(true);
    }
    updateIdleHint(false);
    if (platform_.screenSaver) {
        platform_.screenSaver->announceActive(true);
    }
}

void VessikAppDelegate::sessionUnlocked() {
    const bool held = lockSession_->holds();
    lockSession_->end();
    answerLockCommands();
    if (held && platform_.session) {
        platform_.session->setLockedHint(false);
    }
    updateIdleHint(false); // the password was just typed
    if (held && platform_.screenSaver) {
        platform_.screenSaver->announceActive(false);
    }
    updateSleepInhibitor();
}

void VessikAppDelegate::updateIdleHint(bool idleTimeReached) {
    const bool idle = lockSession_->holds() || (idleTimeReached && !idleLockInhibited());
    if (!platform_.session || !sessionIntegrationStarted_ || idle == idleHint_) {
        return;
    }
    idleHint_ = idle;
    platform_.session->setIdleHint(idle);
}

void VessikAppDelegate::letSleepGoAhead() {
    lockSession_->stopSleepWait();
    sleepInhibitorWanted_ = false;
    if (platform_.session) {
        platform_.session->releaseSleepInhibitor();
    }
}

void VessikAppDelegate::updateSleepInhibitor() {
    // A sleep that waits for the lock keeps the inhibitor until the lock holds.
    if (!platform_.session || !sessionIntegrationStarted_ || lockSession_->sleepWaiting()) {
        return;
    }
    // Held exactly while a lock could be taken.
    const bool wanted = lockAllowed();
    if (wanted == sleepInhibitorWanted_) {
        return;
    }
    sleepInhibitorWanted_ = wanted;
    if (wanted) {
        platform_.session->takeSleepInhibitor(kSleepWhy);
    } else {
        platform_.session->releaseSleepInhibitor();
    }
}
