#pragma once

#include <sys/types.h>
#include <vector>

#include <QtCore/QString>

// A running process of the user that runs Vessik.
struct ProcessInfo {
    QString name; // the process name (comm)
    pid_t pid = 0;
    uid_t uid = 0;
};

// The processes of Vessik's own user and the means to end them.
class ProcessTable {
public:
    virtual ~ProcessTable() = default;
    // The user's processes (same real uid), kernel threads left out, in pid order.
    virtual std::vector<ProcessInfo> processes() = 0;
    // Sends `signal` to `pid`; returns 0 or an errno value.
    virtual int kill(pid_t pid, int signal) = 0;
    // Process id of the logind session leader that must survive a forced
    // shutdown, or 0 when there is none.
    virtual pid_t sessionLeader() = 0;
};
