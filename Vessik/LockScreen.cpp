// Locking and unlocking the screen.
#include "VessikAppDelegate.h"

void VessikAppDelegate::lockScreen() {
    readPlist(QStringLiteral("Settings"));
}

void VessikAppDelegate::unlockScreen() {}
