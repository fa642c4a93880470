#pragma once

#include <cstdint>
#include <vector>

// A key combination that the system (another client) already uses.
struct SymbolicHotKey {
    std::int32_t keyCode = 0; // virtual key code, as in the key-name table
    bool enabled = false;
};

// The hotkeys the system already uses, for the conflict warning of the settings window.
class SymbolicHotKeys {
public:
    virtual ~SymbolicHotKeys() = default;
    // Fills `out` and returns true, or returns false when they cannot be listed.
    // Vessik's own registrations are never listed.
    virtual bool copySymbolicHotKeys(std::vector<SymbolicHotKey>& out) = 0;
};
