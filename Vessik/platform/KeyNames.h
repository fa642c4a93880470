#pragma once

#include <cstdint>
#include <span>

// One entry of the hotkey key-name table: a key name and the virtual key code of
// its physical position on an ANSI keyboard.
struct KeyName {
    const char* name;
    std::int32_t code;
};

// The 48 key names "F1".."F12", "0".."9", "A".."Z" in table order.
std::span<const KeyName> keyNameTable();
