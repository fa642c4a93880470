// Requests of later processes of the same user and display: a plain second start
// opens the settings window, `vessik --lock` locks and hears when the lock holds
// or why it does not, and `--wait` also hears when it ends.
#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

const QString kLocked = QStringLiteral("locked");
const QString kUnlocked = QStringLiteral("unlocked");
const QString kRefused = QStringLiteral("refused: %1");

} // namespace

void VessikAppDelegate::instanceRequested(SingleInstance::Request request,
                                          std::unique_ptr<SingleInstance::Requester> requester) {
    using Request = SingleInstance::Request;
    switch (request) {
    case Request::Settings:
        settingsRequested();
        return;
    case Request::WaitForUnlock: // from a `--wait` whose Vessik ended mid-lock
        if (isCaptured_) {
            awaitingUnlock_.push_back(std::move(requester));
        } else {
            requester->answer(kUnlocked);
        }
        return;
    case Request::Lock:
    case Request::LockAndWait:
        break;
    }
    const bool waits = request == Request::LockAndWait;
    // Whether the lock that follows is the lock commands' alone (lockScreen
    // forgets it: any other request makes the lock everyone's).
    const bool onlyForCommands = !isCaptured_ || lockOnlyForCommand_;
    lockScreen();
    if (!isCaptured_) {
        requester->answer(kRefused.arg(lockRefusalReason()));
        return;
    }
    if (platform_.displays->inputHeld()) {
        lockBeganToHold();
    }
    if (lockSession_->holds()) {
        answerLocked(std::move(requester), waits);
        return;
    }
    // Not held yet: another program holds the keyboard or the pointer for now.
    lockOnlyForCommand_ = onlyForCommands;
    awaitingHold_.push_back({std::move(requester), waits});
    if (!lockCommandTimer_.isActive()) {
        lockCommandTimer_.start(kLockCommandWaitMs);
    }
}

QString VessikAppDelegate::lockRefusalReason() const {
    if (platform_.lockRefusal) {
        return *platform_.lockRefusal;
    }
    if (properties_.isNull()) {
        return QStringLiteral("Vessik cannot read its settings file (its log says why)");
    }
    if (!properties_.contains(SettingsKeys::Password)) {
        return QStringLiteral("no password is stored: set one in Vessik's settings first");
    }
    if (properties_.integerValue(SettingsKeys::InactivityTime) == 0) {
        return QStringLiteral("\"InactivityTime\" is 0 in Vessik's settings, which turns locking off");
    }
    return QStringLiteral("the lock did not begin");
}

void VessikAppDelegate::answerLocked(std::unique_ptr<SingleInstance::Requester> requester, bool waits) {
    requester->answer(kLocked);
    if (waits) {
        awaitingUnlock_.push_back(std::move(requester));
    }
}

void VessikAppDelegate::answerLockCommands() {
    if (lockSession_->holds()) {
        lockCommandTimer_.stop();
        lockOnlyForCommand_ = false;
        for (PendingLockCommand& command : std::exchange(awaitingHold_, {})) {
            answerLocked(std::move(command.requester), command.waits);
        }
        return;
    }
    if (!isCaptured_) { // unlocked
        for (PendingLockCommand& command : std::exchange(awaitingHold_, {})) {
            command.requester->answer(kRefused.arg(
                lockLostBecause_.isEmpty() ? QStringLiteral("the lock ended before it held") : lockLostBecause_));
        }
        for (std::unique_ptr<SingleInstance::Requester>& requester : std::exchange(awaitingUnlock_, {})) {
            requester->answer(kUnlocked);
        }
        lockCommandTimer_.stop();
        lockOnlyForCommand_ = false;
    }
}

void VessikAppDelegate::lockCommandTimedOut() {
    for (PendingLockCommand& command : std::exchange(awaitingHold_, {})) {
        command.requester->answer(
            kRefused.arg(QStringLiteral("the lock did not hold within %1 s: another program holds the keyboard or "
                                        "the pointer")
                             .arg(kLockCommandWaitMs / 1000)));
    }
    // A lock that only the command asked for is not left half in place: the
    // command says it failed, so nothing may look locked.
    if (lockOnlyForCommand_ && isCaptured_ && !lockSession_->holds()) {
        log(QStringLiteral("The lock that vessik --lock asked for did not hold within %1 s: it is taken back.")
                .arg(kLockCommandWaitMs / 1000));
        unlockScreen();
    }
    lockOnlyForCommand_ = false;
}
