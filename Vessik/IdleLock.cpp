// Locking after "InactivityTime" seconds without input.
#include <algorithm>

#include <QtCore/QFileSystemWatcher>

#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

// The longest the idle timer sleeps in one go; the settings watcher wakes it sooner.
constexpr std::int64_t kLongestPaceSeconds = 3600;

} // namespace

std::int64_t SystemIdleTime() {
    if (selfC == nullptr || !selfC->platform().idle) {
        return -1;
    }
    const std::optional<std::int64_t> nanoseconds = selfC->platform().idle->idleNanoseconds();
    if (!nanoseconds) {
        return -1;
    }
    return *nanoseconds / 1000000000; // whole seconds, truncated towards zero
}

void VessikAppDelegate::inactivityLock() {
    readPlist(kSettingsResource);
    updateSleepInhibitor();
    const std::int64_t idleSeconds = SystemIdleTime();
    const std::int64_t limit = properties_.integerValue(SettingsKeys::InactivityTime);
    // While another program holds the idle lock off, the timer sleeps as if no time
    // had passed; the end of the inhibition brings the one-second tick back.
    const bool inhibited = idleLockInhibited();
    if (idleSeconds >= limit && !inhibited) {
        lockScreen();
    }
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
    // brings the one-second tick back at once (watchSettingsFile).
    std::int64_t seconds = 1;
    if (idleSeconds >= 0 && limit - idleSeconds > 2) {
        seconds = std::min(limit - idleSeconds - 1, kLongestPaceSeconds);
    }
    const int interval = static_cast<int>(seconds * 1000);
    if (inactivityTimer_->interval() != interval) {
        inactivityTimer_->setInterval(interval); // restarts the timer from now
    }
}

void VessikAppDelegate::watchSettingsFile() {
    if (settingsWatcher_ != nullptr) {
        return;
    }
    // The file is replaced by a rename at every write, so the folder is watched.
    settingsWatcher_ = new QFileSystemWatcher(this);
    settingsWatcher_->addPath(bundle_.resourcesPath());
    connect(settingsWatcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
        if (inactivityTimer_ != nullptr && inactivityTimer_->interval() != 1000) {
            inactivityTimer_->setInterval(1000);
        }
    });
}
