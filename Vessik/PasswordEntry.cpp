// The lock window's password field and the retry lock-out.
#include <algorithm>
#include <climits>

#include <QtWidgets/QLineEdit>

#include "VessikAppDelegate.h"

namespace {

// "RetryLeft" starts again from this when "RetryCount" is missing: the count of
// the shipped settings, so the lock-out keeps a limit.
constexpr std::int64_t kShippedRetryCount = 5;

// The longest lock-out a timer can hold, in seconds (its interval is an int of ms).
constexpr std::int64_t kLongestRetryTime = INT_MAX / 1000;

} // namespace

void VessikAppDelegate::passwordTextbox(QLineEdit* sender) {
    const QString kSettings = QStringLiteral("Settings");
    const QString kRetryLeft = QStringLiteral("RetryLeft");
    readPlist(kSettings);
    const QString entry = sender != nullptr ? sender->text() : QString();

    // A settings file that cannot be read (it is logged) must not lock the user out
    // for good: the entry is then checked against the settings that were in force
    // when the lock began, and it neither counts nor writes anything.
    const bool readFailed = properties_.isNull();
    const PropertyList& settings = readFailed ? lockSettings_ : properties_;
    const std::optional<QString> password = settings.stringValue(QStringLiteral("Password"));
    const std::int64_t retryTime = settings.integerValue(QStringLiteral("RetryTime"));

    auto resetRetryLeft = [this, &kRetryLeft] {
        if (properties_.contains(QStringLiteral("RetryCount"))) {
            properties_.setValueFrom(kRetryLeft, properties_, QStringLiteral("RetryCount"));
        } else {
            properties_.setInteger(kRetryLeft, kShippedRetryCount);
        }
    };

    if (password && entry == *password) {
        unlockScreen();
        if (!readFailed) {
            resetRetryLeft();
            writePlist(properties_, kSettings);
        }
        return;
    }

    if (!readFailed) {
        // One less, kept as a signed 32-bit number like the count has always been.
        const std::int64_t left = properties_.integerValue(kRetryLeft);
        properties_.setInteger(kRetryLeft, static_cast<std::int32_t>(static_cast<std::uint64_t>(left) - 1U));
        if (properties_.integerValue(kRetryLeft) == 0) {
            resetRetryLeft();
            writePlist(properties_, kSettings);
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
        writePlist(properties_, kSettings);
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
