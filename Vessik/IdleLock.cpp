// Locking after "InactivityTime" seconds without input.
#include "VessikAppDelegate.h"

std::int64_t SystemIdleTime() {
    return -1;
}

void VessikAppDelegate::inactivityLock() {
    readPlist(QStringLiteral("Settings"));
}
