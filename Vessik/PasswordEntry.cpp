// The lock window's password field and the retry lock-out.
#include <algorithm>
#include <climits>

#include <QtWidgets/QLineEdit>

#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

// The longest lock-out a timer can hold, in seconds (its interval is an int of ms).
constexpr std::int64_t kLongestRetryTime = INT_MAX / 1000;

} // namespace

void VessikAppDelegate::passwordTextbox(QLineEdit* sender) {
    readPlist(kSettingsResource);
    const QString entry = sender != nullptr ? sender->text() : QString();

    // A settings file that cannot be read (it is logged) must not lock the user out
    // for good: the entry is then checked against the settings that were in force
    // when the lock began, and it neither counts nor writes anything.
    const bool readFailed = properties_.isNull();
    const PropertyList& settings = readFailed ? lockSettings_ : properties_;
    const std::optional<QString> password = settings.stringValue(SettingsKeys::Password);
    const std::int64_t retryTime = settings.integerValue(SettingsKeys::RetryTime);

    // "RetryCount" as stored, whatever its kind; the shipped count when it is
    // missing, so the lock-out keeps a limit.
    auto resetRetryLeft = [this] {
        if (properties_.contains(SettingsKeys::RetryCount)) {
            properties_.setValueFrom(SettingsKeys::RetryLeft, properties_, SettingsKeys::RetryCount);
        } else {
            properties_.setInteger(SettingsKeys::RetryLeft, SettingsKeys::RetryCount.shippedInteger);
        }
    };

    if (password && entry == *password) {
        unlockScreen();
        if (!readFailed) {
            resetRetryLeft();
            writePlist(properties_, kSettingsResource);
        }
        return;
    }

    if (!readFailed) {
        // One less, kept as a signed 32-bit number like the count has always been.
        const std::int64_t left = properties_.integerValue(SettingsKeys::RetryLeft);
        properties_.setInteger(SettingsKeys::RetryLeft,
                               static_cast<std::int32_t>(static_cast<std::uint64_t>(left) - 1U));
        if (properties_.integerValue(SettingsKeys::RetryLeft) == 0) {
            resetRetryLeft();
            writePlist(properties_, kSettingsResource);
            forceShutDown();
        }
    }
    if (passwordTextbox_ != nullptr) {
        passwordTextbox_->setEnabled(false);
        passwordTextbox_->clear();
    }
    // One-shot, owned by the delegate; nothing cancels it.
    auto* timer = new QTimer(this);
    timer->setObjectName(QStringLiteral("enablePasswordTimer"));
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, timer] {
        timer->deleteLater();
        enablePasswordTextbox();
    });
    timer->start(static_cast<int>(std::clamp<std::int64_t>(retryTime, 0, kLongestRetryTime) * 1000));
    if (!readFailed) {
        writePlist(properties_, kSettingsResource);
    }
}

void VessikAppDelegate::enablePasswordTextbox() {
    if (passwordTextbox_ == nullptr) {
        return;
    }
    passwordTextbox_->setEnabled(true);
    passwordTextbox_->clearFocus();
    passwordTextbox_->setFocus(Qt::OtherFocusReason);
}
