#pragma once

#include <unistd.h>

#include <QtCore/QString>

#include "platform/ProcessTable.h"

// The process table of /proc.
//
// processes() lists every process whose real uid is `uid`, in pid order,
// leaving out kernel threads (PF_KTHREAD), zombies and processes that end while
// they are read. The name is the kernel's `comm`, read from /proc/PID/stat up to
// the last ')', so names that contain parentheses or spaces come out whole.
//
// sessionLeader() finds the systemd-logind session of Vessik itself (its
// cgroup "session-ID.scope", else its audit session id) and reads that
// session's leader from logind's record RUN/ID ("LEADER=pid"); 0 when Vessik
// runs in no logind session.
class ProcProcessTable : public ProcessTable {
public:
    // `procRoot` is where proc is mounted and `sessionsDir` where logind keeps its
    // session records; tests point both at fakes.
    explicit ProcProcessTable(QString procRoot = QStringLiteral("/proc"),
                              QString sessionsDir = QStringLiteral("/run/systemd/sessions"), uid_t uid = ::getuid());

    std::vector<ProcessInfo> processes() override;
    int kill(pid_t pid, int signal) override;
    pid_t sessionLeader() override;

private:
    QString procRoot_;
    QString sessionsDir_;
    uid_t uid_;
};
