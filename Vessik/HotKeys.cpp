// The two global hotkeys: the key-name table, their registration and the handler.
#include "SettingsKeys.h"
#include "VessikAppDelegate.h"
#include "platform/KeyNames.h"

namespace {

constexpr std::uint32_t kLockSignature = 0x68746B31; // "htk1"
constexpr std::uint32_t kOffSignature = 0x68746B32;  // "htk2"

// The modifier bits of one hotkey from its three flags: a flag counts only when
// its integer value is exactly 1 (2, -1, text without a number and a missing key
// all add nothing).
std::uint32_t modifierMask(const PropertyList& settings, const SettingsKeys::HotKey& hotKey) {
    std::uint32_t mask = 0;
    if (settings.integerValue(hotKey.shift) == 1) {
        mask |= shiftKey;
    }
    if (settings.integerValue(hotKey.control) == 1) {
        mask |= controlKey;
    }
    if (settings.integerValue(hotKey.alt) == 1) {
        mask |= optionKey;
    }
    return mask;
}

} // namespace

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
    readPlist(kSettingsResource);

    // Dropping a registration releases exactly what it registered; a null one
    // (never registered, or refused) has nothing to release.
    hotKeyRef1_.reset();
    hotKeyRef2_.reset();

    // Installed at the first call and never removed: it answers the presses of
    // every registration to come.
    if (!hotKeyHandlerInstalled_) {
        eventType_ = EventTypeSpec{kEventClassKeyboard, kEventHotKeyPressed};
        platform_.hotKeys->installEventHandler(&HotKeyHandler, eventType_);
        hotKeyHandlerInstalled_ = true;
    }

    hotKeyID_ = EventHotKeyID{kLockSignature, 1};
    hotKeyRef1_ = platform_.hotKeys->registerEventHotKey(
        keyCodeForKeyString(properties_.stringValue(SettingsKeys::LockHotKey.func)),
        modifierMask(properties_, SettingsKeys::LockHotKey), hotKeyID_);

    hotKeyID_ = EventHotKeyID{kOffSignature, 2};
    hotKeyRef2_ = platform_.hotKeys->registerEventHotKey(
        keyCodeForKeyString(properties_.stringValue(SettingsKeys::OffHotKey.func)),
        modifierMask(properties_, SettingsKeys::OffHotKey), hotKeyID_);
}

int HotKeyHandler(const HotKeyEvent& event) {
    // Only the id decides; the signature is not looked at.
    if (event.hotKeyID != nullptr && selfC != nullptr) {
        switch (event.hotKeyID->id) {
        case 1:
            selfC->lockScreen();
            break;
        case 2:
            selfC->forceShutDown();
            break;
        default:
            break;
        }
    }
    return 0;
}
