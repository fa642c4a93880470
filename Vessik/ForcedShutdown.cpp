// The forced shutdown: every other process of the user is killed, then the
// system is asked to power off.
#include <csignal>
#include <unistd.h>

#include "VessikAppDelegate.h"

QList<ProcessRecord> VessikAppDelegate::GetProcessList() {
    QList<ProcessRecord> list;
    list.reserve(1);
    const QString uid = QString::number(::getuid());
    for (const ProcessInfo& process : platform_.processes->processes()) {
        list.append({{QStringLiteral("pname"), process.name},
                     {QStringLiteral("pid"), QString::number(process.pid)},
                     {QStringLiteral("uid"), uid}});
    }
    return list;
}

void VessikAppDelegate::forceShutDown() {
    const QList<ProcessRecord> list = GetProcessList();
    ProcessTable& processes = *platform_.processes;
    const pid_t self = ::getpid();
    // The logind session must stay alive for logind to power off without asking.
    const pid_t leader = processes.sessionLeader();
    for (const ProcessRecord& record : list) {
        const QString name = record.value(QStringLiteral("pname"));
        if (name == QLatin1String("Vessik") || name == QLatin1String("Finder")) {
            continue;
        }
        // Never a missing or non-positive pid (kill would reach a process group or
        // every process), never Vessik itself, never the session leader.
        const std::optional<pid_t> pid = parsePid(record.value(QStringLiteral("pid")));
        if (!pid || *pid == self || *pid == leader) {
            continue;
        }
        processes.kill(*pid, SIGKILL);
    }
    if (const std::optional<QString> error = platform_.powerOff->powerOff()) {
        log(*error);
    }
}
