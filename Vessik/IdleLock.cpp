// Locking after "InactivityTime" seconds without input.
#include <algorithm>

#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

// The longest the idle timer sleeps in one go; the settings watch wakes it sooner.
constexpr std::int64_t kLongestPaceSeconds = 3600;

// The machine's idle counter, which the plain function below reads: one per
// process, like the system service it stands for.
IdleCounter* systemIdleCounter = nullptr;

} // namespace

void setSystemIdleCounter(IdleCounter* counter) {
    systemIdleCounter = counter;
}

std::int64_t SystemIdleTime() {
    if (systemIdleCounter == nullptr) {
        return -1;
    }
    const std::optional<std::int64_t> nanoseconds = systemIdleCounter->idleNanoseconds();
    if (!nanoseconds) {
        return -1;
    }
    return *nanoseconds / 1000000000; // whole seconds, truncated towards zero
}

void VessikAppDelegate::inactivityLock() {
    readPlist(kSettingsResource);
    updateSleepInhibitor();
    const std::int64_t limit = properties_.integerValue(SettingsKeys::InactivityTime);
    if (platform_.idle) {
        platform_.idle->setIdleThreshold(limit); // where idleness comes as an event at it
    }
    const std::int64_t idleSeconds = SystemIdleTime();
    // While another program holds the idle lock off, the timer sleeps as if no time
    // had passed; the end of the inhibition brings the one-second tick back.
    const bool inhibited = idleLockInhibited();
    if (idleSeconds >= limit && !inhibited) {
        lockScreen();
    }
    // The session hears that the user is idle, also where no lock came
    // ("InactivityTime" 0 is no idle time at all).
    updateIdleHint(limit > 0 && idleSeconds >= limit);
    paceInactivityTimer(inhibited ? 0 : idleSeconds, limit);
}

void VessikAppDelegate::paceInactivityTimer(std::int64_t idleSeconds, std::int64_t limit) {
    if (inactivityTimer_ == nullptr || isCaptured_) {
        return;
    }
    // The idle time grows by at most a second a second, and input only pushes the
    // lock further out: until `limit - idleSeconds - 1` seconds have passed the lock
    // cannot come due, so the timer sleeps through them and then ticks every second
    // again. This keeps the lock within the same second while a watching process
    // wakes a few times per time-out instead of every second. A settings change
    // brings the one-second tick back at once (watchSettingsFile), so the timer
    // sleeps only while the watch reports every change.
    std::int64_t seconds = 1;
    if (idleSeconds >= 0 && idleSeconds < limit && platform_.fileWatch && platform_.fileWatch->armed()) {
        // 0 <= idleSeconds < limit: the difference lies in 1..INT64_MAX, whatever the limit.
        const std::int64_t remaining = limit - idleSeconds;
        if (remaining > 2) {
            seconds = std::min(remaining - 1, kLongestPaceSeconds);
        }
    }
    const int interval = static_cast<int>(seconds * 1000); // at most an hour: fits an int
    if (inactivityTimer_->interval() != interval) {
        inactivityTimer_->setInterval(interval); // restarts the timer from now
    }
}

void VessikAppDelegate::restoreSecondTick() {
    if (inactivityTimer_ != nullptr && inactivityTimer_->interval() != 1000) {
        inactivityTimer_->setInterval(1000);
    }
}

void VessikAppDelegate::watchSettingsFile() {
    if (!platform_.fileWatch) {
        return;
    }
    // The file, Resources, the bundle and the folder that holds the bundle: a rewrite
    // in place, a rename over the file, a new Resources folder and the bundle moved
    // back into place are all seen.
    platform_.fileWatch->watch(bundle_.resourcePath(kSettingsResource, QStringLiteral("plist")), 3,
                               [this] { restoreSecondTick(); });
}
