// The two global hotkeys: the key-name table, their registration and the handler.
#include "KeyNames.h"
#include "VessikAppDelegate.h"

std::int32_t VessikAppDelegate::keyCodeForKeyString(const std::optional<QString>& name) {
    if (!name) {
        return 0;
    }
    for (const KeyName& key : keyNameTable()) {
        if (*name == QLatin1String(key.name)) {
            return key.code;
        }
    }
    return 0;
}

void VessikAppDelegate::initHotKeys() {
    readPlist(QStringLiteral("Settings"));
}

int HotKeyHandler(const HotKeyEvent& /*event*/) {
    return 0;
}
