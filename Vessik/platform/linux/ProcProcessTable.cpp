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

// The ID of the "session-ID.scope" named in the content of a cgroup file; empty when none.
QString sessionScope(const QByteArray& cgroup) {
    static const QRegularExpression scope(QStringLiteral("/session-([^/]+)\\.scope(/|$)"));
    for (const QByteArray& line : cgroup.split('\n')) {
        const QRegularExpressionMatch m = scope.match(QString::fromUtf8(line));
        if (m.hasMatch()) {
            return m.captured(1);
        }
    }
    return {};
}

// An audit session id as a file gives it; empty when unset (all ones).
QString auditSession(const QByteArray& sessionid) {
    const QByteArray id = sessionid.trimmed();
    return id == "4294967295" ? QString() : QString::fromLatin1(id);
}

} // namespace

ProcProcessTable::ProcProcessTable(QString procRoot, QString sessionsDir, uid_t uid)
    : procRoot_(std::move(procRoot)), sessionsDir_(std::move(sessionsDir)), uid_(uid) {}

ProcProcessTable::Session ProcProcessTable::sessionOf(const QString& dir) const {
    Session session;
    if (const std::optional<QByteArray> cgroup = readSmallFile(dir + QStringLiteral("/cgroup"))) {
        session.scope = sessionScope(*cgroup);
    }
    if (const std::optional<QByteArray> audit = readSmallFile(dir + QStringLiteral("/sessionid"))) {
        session.audit = auditSession(*audit);
    }
    return session;
}

bool ProcProcessTable::Session::shares(const Session& own) const {
    // The scope decides when Vessik has one; the audit session id only without it.
    return own.scope.isEmpty() ? !own.audit.isEmpty() && audit == own.audit : scope == own.scope;
}

std::vector<ProcessInfo> ProcProcessTable::processes() {
    std::vector<ProcessInfo> out;
    // Root may signal every process on the machine: it ends only those of its own
    // login session, never the system's services (the bus and logind among them,
    // which the power-off needs), and none at all outside a session.
    std::optional<Session> own;
    if (uid_ == 0) {
        own = sessionOf(procRoot_ + QStringLiteral("/self"));
        if (own->scope.isEmpty() && own->audit.isEmpty()) {
            return out;
        }
    }
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
        if (own ? !sessionOf(dir).shares(*own) : realUid(dir) != uid_) {
            continue;
        }
        out.push_back({QString::fromUtf8(stat->mid(open + 1, close - open - 1)), *pid});
    }
    std::sort(out.begin(), out.end(), [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
    return out;
}

std::optional<uid_t> ProcProcessTable::realUid(const QString& dir) {
    // The first number of the "Uid:" line of status.
    const std::optional<QByteArray> status = readSmallFile(dir + QStringLiteral("/status"));
    if (!status) {
        return std::nullopt;
    }
    for (const QByteArray& line : status->split('\n')) {
        if (line.startsWith("Uid:")) {
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            bool ok = false;
            const uint value = ids.value(0).toUInt(&ok);
            return ok ? std::optional<uid_t>(value) : std::nullopt;
        }
    }
    return std::nullopt;
}

int ProcProcessTable::kill(pid_t pid, int signal) {
    return ::kill(pid, signal) == 0 ? 0 : errno;
}

pid_t ProcProcessTable::sessionLeader() {
    const Session own = sessionOf(procRoot_ + QStringLiteral("/self"));
    // logind names a session by its scope, and otherwise by the audit session id,
    // which it uses as its own id where it can.
    const QString session = own.scope.isEmpty() ? own.audit : own.scope;
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
