#pragma once

#include <optional>

#include <QtCore/QString>

// Asking the system to power off.
class PowerOff {
public:
    virtual ~PowerOff() = default;
    // Makes the request and waits (bounded) for the answer. Returns nothing when
    // the system accepted it, or the error's description when it refused or
    // could not be reached.
    virtual std::optional<QString> powerOff() = 0;
};
