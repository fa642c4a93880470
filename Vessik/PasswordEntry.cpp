// The lock window's password field and the retry lock-out.
#include <algorithm>
#include <climits>

#include <QtCore/QScopeGuard>
#include <QtWidgets/QLineEdit>

#include "Secret.h"
#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

// The longest lock-out a timer can hold, in seconds (its interval is an int of ms).
constexpr std::int64_t kLongestRetryTime = INT_MAX / 1000;

// "RetryLeft" after one more wrong entry: one less, kept as a signed 32-bit
// number like the count has always been.
std::int32_t afterWrongEntry(const PropertyList& settings) {
    const std::int64_t left = settings.integerValue(SettingsKeys::RetryLeft);
    return static_cast<std::int32_t>(static_cast<std::uint64_t>(left) - 1U);
}

} // namespace

bool VessikAppDelegate::nextWrongEntryShutsDown(const PropertyList& settings) {
    return afterWrongEntry(settings) == 0;
}

void VessikAppDelegate::passwordTextbox(QLineEdit* sender) {
    readPlist(kSettingsResource);
    QString entry = sender != nullptr ? sender->text() : QString();

    // A settings file that cannot be read (it is logged) must not lock the user out
    // for good: the entry is then checked against the settings that were in force
    // when the lock began, and it neither counts nor writes anything.
    const bool readFailed = properties_.isNull();
    const PropertyList& settings = readFailed ? lockSession_->settings() : properties_;
    std::optional<QString> password = settings.stringValue(SettingsKeys::Password);
    const std::int64_t retryTime = settings.integerValue(SettingsKeys::RetryTime);
    const bool matches = password && entry == *password;
    const bool emptyEntry = entry.isEmpty();
    // Vessik's own copies go once the check is done (the file keeps the password;
    // the lock's settings are wiped at the unlock). The field lets go of its text first.
    const auto wipeCopies = qScopeGuard([&] {
        wipeText(entry);
        if (password) {
            wipeText(*password);
        }
        properties_.eraseSecret(SettingsKeys::Password);
    });

    // Return on an empty field wakes the screen; it is not an attempt, unless the
    // stored password is empty itself (then it matched above).
    if (!matches && emptyEntry) {
        return;
    }

    // "RetryCount" as stored, whatever its kind; the shipped count when it is
    // missing, so the lock-out keeps a limit.
    auto resetRetryLeft = [this] {
        if (properties_.contains(SettingsKeys::RetryCount)) {
            properties_.setValueFrom(SettingsKeys::RetryLeft, properties_, SettingsKeys::RetryCount);
        } else {
            properties_.setInteger(SettingsKeys::RetryLeft, SettingsKeys::RetryCount.shippedInteger);
        }
    };

    if (matches) {
        unlockScreen();
        if (!readFailed) {
            resetRetryLeft();
            writePlist(properties_, kSettingsResource);
        }
        return;
    }

    if (!readFailed) {
        properties_.setInteger(SettingsKeys::RetryLeft, afterWrongEntry(properties_));
        if (properties_.integerValue(SettingsKeys::RetryLeft) == 0) {
            resetRetryLeft();
            writePlist(properties_, kSettingsResource);
            forceShutDown();
        }
        lockSession_->setLastAttempt(nextWrongEntryShutsDown(properties_));
    }
    const std::int64_t lockOutMs = std::clamp<std::int64_t>(retryTime, 0, kLongestRetryTime) * 1000;
    // A Vessik started again after this one ended keeps the lock-out to its end.
    lockSession_->lockedOutUntil(LockSession::Clock::now() + std::chrono::milliseconds(lockOutMs));
    if (passwordTextbox_ != nullptr) {
        passwordTextbox_->setEnabled(false);
        wipeField(*passwordTextbox_);
    }
    showLockFeedback();
    startLockOut(lockOutMs);
    handLockOver();
    if (!readFailed) {
        writePlist(properties_, kSettingsResource);
    }
}

void VessikAppDelegate::startLockOut(std::int64_t ms) {
    // One-shot, owned by the delegate; nothing cancels it.
    auto* timer = new QTimer(this);
    timer->setObjectName(QStringLiteral("enablePasswordTimer"));
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer); // ends when the lock-out does, also one resumed by a new Vessik
    connect(timer, &QTimer::timeout, this, [this, timer] {
        timer->deleteLater();
        enablePasswordTextbox();
    });
    timer->start(static_cast<int>(ms));
}

void VessikAppDelegate::enablePasswordTextbox() {
    lockSession_->lockOutEnded();
    if (passwordTextbox_ == nullptr) {
        return;
    }
    // While another client holds the keyboard the field stays disabled; it is
    // enabled and focused once the input is held (showLockFeedback).
    if (!isCaptured_ || inputHeld()) {
        passwordTextbox_->setEnabled(true);
        passwordTextbox_->clearFocus();
        passwordTextbox_->setFocus(Qt::OtherFocusReason);
    }
    showLockFeedback();
}
