// The forced shutdown: every other process of the user is killed, then the
// system is asked to power off.
#include "VessikAppDelegate.h"

QList<ProcessRecord> VessikAppDelegate::GetProcessList() {
    return {};
}

void VessikAppDelegate::forceShutDown() {}
