// The warning about hotkey keys that the system already uses.
#include "VessikAppDelegate.h"

void VessikAppDelegate::changeLockHotkeys(QComboBox* /*sender*/) {}

void VessikAppDelegate::changeOffHotkeys(QComboBox* /*sender*/) {}

bool VessikAppDelegate::isKeyAvailable(std::int32_t /*keyCode*/) {
    return true;
}

void VessikAppDelegate::unavailableKeyMessage(const QString& /*keyName*/) {}
