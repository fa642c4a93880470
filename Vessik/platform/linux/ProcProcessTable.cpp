#include "platform/linux/ProcProcessTable.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>

#include <QtCore/QByteArray>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QRegularExpression>

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000; // PF_KTHREAD

// The whole of a small file, or nothing when it cannot be read (the process is gone).
std::optional<QByteArray> readSmallFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return f.read(64 * 1024);
}

} // namespace

ProcProcessTable::ProcProcessTable(QString procRoot, QString sessionsDir, uid_t uid)
    : procRoot_(std::move(procRoot)), sessionsDir_(std::move(sessionsDir)), uid_(uid) {}

std::vector<ProcessInfo> ProcProcessTable::processes() {
    std::vector<ProcessInfo> out;
    const QStringList entries = QDir(procRoot_).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        const std::optional<pid_t> pid = parsePid(entry);
        if (!pid) {
            continue;
        }
        const QString dir = procRoot_ + u'/' + entry;
        // stat: "pid (comm) state ppid pgrp session tty_nr tpgid flags ..."; comm may
        // hold anything, ')' included, so it ends at the LAST ')'.
        const std::optional<QByteArray> stat = readSmallFile(dir + QStringLiteral("/stat"));
        if (!stat) {
            continue;
        }
        const qsizetype open = stat->indexOf('(');
        const qsizetype close = stat->lastIndexOf(')');
        if (open < 0 || close < open) {
            continue;
        }
        const QList<QByteArray> fields = stat->mid(close + 1).simplified().split(' ');
        if (fields.size() < 7) {
            continue;
        }
        const QByteArray& state = fields[0];
        bool flagsOk = false;
        const unsigned long flags = fields[6].toULong(&flagsOk);
        if (!flagsOk || (flags & kKernelThreadFlag) != 0 || state == "Z" || state == "X") {
            continue;
        }
        // The real uid is the first number of the "Uid:" line of status.
        const std::optional<QByteArray> status = readSmallFile(dir + QStringLiteral("/status"));
        if (!status) {
            continue;
        }
        std::optional<uid_t> realUid;
        for (const QByteArray& line : status->split('\n')) {
            if (line.startsWith("Uid:")) {
                const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
                bool ok = false;
                const uint value = ids.value(0).toUInt(&ok);
                if (ok) {
                    realUid = value;
                }
                break;
            }
        }
        if (realUid != uid_) {
            continue;
        }
        out.push_back({QString::fromUtf8(stat->mid(open + 1, close - open - 1)), *pid});
    }
    std::sort(out.begin(), out.end(), [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
    return out;
}

int ProcProcessTable::kill(pid_t pid, int signal) {
    return ::kill(pid, signal) == 0 ? 0 : errno;
}

pid_t ProcProcessTable::sessionLeader() {
    QString session;
    static const QRegularExpression scope(QStringLiteral("/session-([^/]+)\\.scope(/|$)"));
    if (const std::optional<QByteArray> cgroup = readSmallFile(procRoot_ + QStringLiteral("/self/cgroup"))) {
        for (const QByteArray& line : cgroup->split('\n')) {
            const QRegularExpressionMatch m = scope.match(QString::fromUtf8(line));
            if (m.hasMatch()) {
                session = m.captured(1);
                break;
            }
        }
    }
    if (session.isEmpty()) {
        // The audit session id, which logind uses as its own id where it can; all
        // ones means "none".
        if (const std::optional<QByteArray> audit = readSmallFile(procRoot_ + QStringLiteral("/self/sessionid"))) {
            const QByteArray id = audit->trimmed();
            if (!id.isEmpty() && id != "4294967295") {
                session = QString::fromLatin1(id);
            }
        }
    }
    if (session.isEmpty() || session.contains(u'/')) {
        return 0;
    }
    const std::optional<QByteArray> record = readSmallFile(sessionsDir_ + u'/' + session);
    if (!record) {
        return 0;
    }
    for (const QByteArray& line : record->split('\n')) {
        if (line.startsWith("LEADER=")) {
            return parsePid(QString::fromLatin1(line.mid(7).trimmed())).value_or(0);
        }
    }
    return 0;
}
