#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

// What both of the guard's ways of keeping a lock use: the log, wiping what held
// the lock's state, and the count of restarted Vessiks that ended.

// One line to the system log and to standard error.
inline void guardLog(const std::string& line) {
    ::syslog(LOG_NOTICE, "%s", line.c_str());
    std::fprintf(stderr, "Vessik: %s\n", line.c_str());
    std::fflush(stderr);
}

// Zeroes `bytes`, then empties it.
template <typename T> void wipe(std::vector<T>& bytes) {
    if (!bytes.empty()) {
        ::explicit_bzero(bytes.data(), bytes.size() * sizeof(T));
    }
    bytes.clear();
}

// The ends of Vessiks the guard started: the third within a minute, and the
// guard starts none again.
class RestartedEnds {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr const char* kTooMany = "Vessik ended three times within a minute of being started again";

    // Counts an end at `now`; true when it is the third within a minute.
    bool tooMany(Clock::time_point now) {
        std::erase_if(ends_, [now](Clock::time_point t) { return now - t >= std::chrono::minutes(1); });
        ends_.push_back(now);
        return ends_.size() >= 3;
    }

private:
    std::vector<Clock::time_point> ends_;
};
