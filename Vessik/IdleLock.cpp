// Locking after "InactivityTime" seconds without input.
#include "VessikAppDelegate.h"

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
    readPlist(QStringLiteral("Settings"));
    const std::int64_t idleSeconds = SystemIdleTime();
    const std::int64_t limit = properties_.integerValue(QStringLiteral("InactivityTime"));
    if (idleSeconds >= limit) {
        lockScreen();
    }
}
