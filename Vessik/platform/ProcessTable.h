#pragma once

#include <limits>
#include <optional>
#include <sys/types.h>
#include <vector>

#include <QtCore/QString>
#include <QtCore/QStringView>

// A running process that a forced shutdown ends.
struct ProcessInfo {
    QString name; // the process name (comm)
    pid_t pid = 0;
};

// The process id written as `text`: decimal digits alone, without a leading zero,
// naming a positive pid that fits pid_t. Nothing for any other text (a sign, white
// space, the empty text, 0, a number too large), since signalling such a pid
// could reach a process group or every process.
inline std::optional<pid_t> parsePid(QStringView text) {
    if (text.isEmpty() || text.front() == u'0') {
        return std::nullopt;
    }
    pid_t pid = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        const int digit = c.unicode() - u'0';
        if (pid > (std::numeric_limits<pid_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        pid = pid * 10 + digit;
    }
    return pid;
}

// The processes that a forced shutdown ends and the means to end them.
class ProcessTable {
public:
    virtual ~ProcessTable() = default;
    // The processes of Vessik's user (same real uid); when Vessik runs as root,
    // only those of its own login session, and none outside one. Kernel threads
    // left out, in pid order.
    virtual std::vector<ProcessInfo> processes() = 0;
    // Sends `signal` to `pid`; returns 0 or an errno value.
    virtual int kill(pid_t pid, int signal) = 0;
    // Process id of the logind session leader that must survive a forced
    // shutdown, or 0 when there is none.
    virtual pid_t sessionLeader() = 0;
};
