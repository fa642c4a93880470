#pragma once

#include <array>
#include <cstdint>

#include <QtCore/QLatin1StringView>
#include <QtCore/QString>

// The settings file and its keys: every key Vessik reads or writes, with the kind
// of value a save writes for it and its value in the shipped file
// (Resources/Settings.plist). The shipped file holds exactly the shipped keys of
// this table, with these kinds and values (SettingsStoreTest checks it).

// The settings file is the bundle's resource of this name, of type "plist".
inline constexpr QLatin1StringView kSettingsResource{"Settings"};

enum class SettingKind { String, Integer };

// One key of the settings file. It converts to its text, so it is handed to
// PropertyList as it stands.
struct SettingKey {
    QLatin1StringView text;
    SettingKind kind;
    bool shipped;                  // whether the shipped file holds the key
    std::int64_t shippedInteger;   // the shipped value of an Integer key
    QLatin1StringView shippedText; // the shipped value of a String key

    operator QString() const { return text; }
};

namespace SettingsKeys {

constexpr SettingKey integerKey(const char* text, std::int64_t shipped) {
    return {QLatin1StringView(text), SettingKind::Integer, true, shipped, {}};
}
constexpr SettingKey stringKey(const char* text, const char* shipped) {
    return {QLatin1StringView(text), SettingKind::String, true, 0, QLatin1StringView(shipped)};
}
constexpr SettingKey unshippedStringKey(const char* text) {
    return {QLatin1StringView(text), SettingKind::String, false, 0, {}};
}

// The keys of one hotkey: its three modifier flags and its key name.
struct HotKey {
    SettingKey shift;
    SettingKey control;
    SettingKey alt;
    SettingKey func;
};

inline constexpr SettingKey Language = stringKey("Language", "English");
inline constexpr HotKey LockHotKey{
    .shift = integerKey("LockShift", 1),
    .control = integerKey("LockControl", 1),
    .alt = integerKey("LockAlt", 1),
    .func = stringKey("LockFunc", "L"),
};
inline constexpr HotKey OffHotKey{
    .shift = integerKey("OffShift", 1),
    .control = integerKey("OffControl", 1),
    .alt = integerKey("OffAlt", 1),
    .func = stringKey("OffFunc", "Q"),
};
// Not shipped: nothing locks before the user sets a password.
inline constexpr SettingKey Password = unshippedStringKey("Password");
inline constexpr SettingKey InactivityTime = integerKey("InactivityTime", 300);
inline constexpr SettingKey ImageType = integerKey("ImageType", 0);
inline constexpr SettingKey ImagePath = stringKey("ImagePath", "");
inline constexpr SettingKey RetryTime = integerKey("RetryTime", 5);
// "RetryLeft" starts again from "RetryCount", or from the shipped count when
// "RetryCount" is missing, so the lock-out always keeps a limit.
inline constexpr SettingKey RetryCount = integerKey("RetryCount", 5);
inline constexpr SettingKey RetryLeft = integerKey("RetryLeft", 5);

// Every key, in the order of the shipped file and of a save.
inline constexpr std::array kAll{
    Language, // shown and saved; the locale picks the translation
    LockHotKey.shift, LockHotKey.control, LockHotKey.alt, LockHotKey.func, // the lock hotkey
    OffHotKey.shift,  OffHotKey.control,  OffHotKey.alt,  OffHotKey.func,  // the shut-down hotkey
    Password,         InactivityTime,     ImageType,      ImagePath,       // the lock
    RetryTime,        RetryCount,         RetryLeft,                       // the lock-out
};

} // namespace SettingsKeys
