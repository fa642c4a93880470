#pragma once

#include <cstdint>
#include <optional>

// The system's time since the last keyboard or pointer input.
class IdleCounter {
public:
    virtual ~IdleCounter() = default;
    // Nanoseconds since the last input, or nothing when the time cannot be read.
    virtual std::optional<std::int64_t> idleNanoseconds() = 0;
};
