#pragma once

#include <optional>
#include <unistd.h>

#include <QtCore/QString>

#include "platform/ProcessTable.h"

// The process table of /proc.
//
// Vessik's own systemd-logind session is the "session-ID.scope" of its cgroup
// (/proc/self/cgroup), else its audit session id (/proc/self/sessionid) when that
// is set.
//
// processes() lists, in pid order, every process whose real uid is `uid`; for
// uid 0, every process of Vessik's own session instead (the same scope, else the
// same audit session id), whatever its user, and none when Vessik runs in no
// session. Kernel threads (PF_KTHREAD), zombies and processes that end while they
// are read are left out. The name is the kernel's `comm`, read from
// /proc/PID/stat up to the last ')', so names that contain parentheses or spaces
// come out whole.
//
// sessionLeader() reads the leader of Vessik's own session from logind's record
// RUN/ID ("LEADER=pid"); 0 when Vessik runs in no logind session.
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
    // Where a process stands among logind sessions: its scope's ID and its audit
    // session id, each empty when it has none.
    struct Session {
        QString scope;
        QString audit;
        // Whether this process belongs to the session of a process that stands at `own`.
        bool shares(const Session& own) const;
    };
    // `dir` is a process folder of proc ("/proc/42", "/proc/self").
    Session sessionOf(const QString& dir) const;
    static std::optional<uid_t> realUid(const QString& dir);

    QString procRoot_;
    QString sessionsDir_;
    uid_t uid_;
};
