// The forced shutdown with a fake process table and power-off, and the /proc
// process table on fake and real process trees.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

#include "VessikAppDelegate.h"
#include "fakes/FakePlatform.h"
#include "fakes/TestBundle.h"
#include "platform/linux/LogindPowerOff.h"
#include "platform/linux/ProcProcessTable.h"

namespace {

using namespace Qt::StringLiterals;

class ForcedShutdownTest : public ::testing::Test {
protected:
    TestBundle files;
    FakePlatform fakes;
    VessikAppDelegate delegate{files.bundle(), fakes.take()};
};

TEST_F(ForcedShutdownTest, RecordsCarryNamePidAndVessiksOwnUid) {
    fakes.processes->list = {{QStringLiteral("sleeper"), 10}, {QStringLiteral("a) (b"), 11}};
    const QList<ProcessRecord> records = delegate.GetProcessList();
    const QString uid = QString::number(::getuid());
    ASSERT_EQ(records.size(), 2);
    EXPECT_EQ(records[0], ProcessRecord({{u"pname"_s, u"sleeper"_s}, {u"pid"_s, u"10"_s}, {u"uid"_s, uid}}));
    EXPECT_EQ(records[1], ProcessRecord({{u"pname"_s, u"a) (b"_s}, {u"pid"_s, u"11"_s}, {u"uid"_s, uid}}));
}

TEST_F(ForcedShutdownTest, EveryProcessButTheSparedIsKilledBeforeThePowerOff) {
    const pid_t self = ::getpid();
    fakes.processes->leader = 30;
    fakes.processes->list = {
        {QStringLiteral("sleeper"), 20},       {QStringLiteral("Vessik"), 21},   // any "Vessik" is spared
        {QStringLiteral("Finder"), 22},        {QStringLiteral("finder"), 23},   // names are exact
        {QStringLiteral("Vessik "), 24},       {QString(), 25},                  // no name: killed
        {QStringLiteral("login"), 30},                                           // the session leader
        {QStringLiteral("vessik_unit"), self},                                   // never itself
        {QStringLiteral("zero"), 0},           {QStringLiteral("negative"), -1}, // never a group
    };
    delegate.forceShutDown();
    EXPECT_EQ(fakes.events->events,
              QStringList({u"kill 20 9"_s, u"kill 23 9"_s, u"kill 24 9"_s, u"kill 25 9"_s, u"poweroff"_s}));
    EXPECT_TRUE(fakes.logLines->isEmpty());
}

TEST_F(ForcedShutdownTest, ARefusedPowerOffIsLoggedAsItsDescription) {
    const QString refusal = QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown: no logind");
    fakes.powerOff->error = refusal;
    delegate.forceShutDown();
    EXPECT_EQ(*fakes.logLines, QStringList{refusal});
}

TEST(LogindPowerOff, AnUnreachableBusIsAnErrorNotAWait) {
    QElapsedTimer clock;
    clock.start();
    const std::optional<QString> error =
        LogindPowerOff(QStringLiteral("unix:path=/nonexistent/vessik-test-bus"), 2000).powerOff();
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->isEmpty());
    EXPECT_LT(clock.elapsed(), 2000);
}

// A /proc of files: each process directory with its stat and status.
class FakeProc {
public:
    QTemporaryDir root;
    void add(const char* pid, const QByteArray& stat, const QByteArray& uidLine) {
        write(QByteArray(pid) + "/stat", stat);
        write(QByteArray(pid) + "/status", "Name:\tx\nState:\tS\n" + uidLine + "\nGid:\t0\t0\t0\t0\n");
    }
    void write(const QByteArray& relative, const QByteArray& content) {
        const QString path = root.filePath(QString::fromLatin1(relative));
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
};

QByteArray stat(int pid, const char* comm, char state, unsigned long flags) {
    return QByteArray::number(pid) + " (" + comm + ") " + state + " 1 1 1 0 -1 " + QByteArray::number(flags) +
           " 0 0 0 0 0 0 0 0 20 0 1 0 100 1000 10\n";
}

TEST(ProcProcessTable, ListsTheUsersLiveProcessesByRealUid) {
    FakeProc proc;
    const QByteArray mine = "Uid:\t1000\t1000\t1000\t1000";
    proc.add("7", stat(7, "sleeper", 'S', 0x400000), mine);
    proc.add("12", stat(12, "a) (b c) d", 'R', 0), mine);                        // the name ends at the last ')'
    proc.add("3", stat(3, "kworker/0:1", 'I', 0x00200000 | 0x40), mine);         // kernel thread
    proc.add("9", stat(9, "gone", 'Z', 0), mine);                                // zombie
    proc.add("10", stat(10, "setuid", 'S', 0), "Uid:\t0\t1000\t1000\t1000");     // real uid differs
    proc.add("11", stat(11, "broken", 'S', 0), "Gid:\t0");                       // no Uid line
    proc.write("13/stat", stat(13, "no status", 'S', 0));                        // ended between two reads
    for (const char* notAPid : {"self", "42x", "+8", "08", "0", "2147483655"}) { // the last is past pid_t
        proc.add(notAPid, stat(7, "not a pid", 'S', 0), mine);
    }

    ProcProcessTable table(proc.root.path(), QString(), 1000);
    const std::vector<ProcessInfo> list = table.processes();
    ASSERT_EQ(list.size(), 2U);
    EXPECT_EQ(list[0].pid, 7);
    EXPECT_EQ(list[0].name, QStringLiteral("sleeper"));
    EXPECT_EQ(list[1].pid, 12);
    EXPECT_EQ(list[1].name, QStringLiteral("a) (b c) d"));
}

TEST(ProcProcessTable, FindsTheLeaderOfItsLogindSession) {
    struct Case {
        const char* name;
        QByteArray cgroup;
        QByteArray auditSession;
        pid_t leader;
    };
    const Case cases[] = {
        {"cgroup v2", "0::/user.slice/user-1000.slice/session-c2.scope\n", "4294967295", 4711},
        {"cgroup v1", "1:name=systemd:/user.slice/user-1000.slice/session-c2.scope/x\n", "", 4711},
        {"audit session", "0::/user.slice/user-1000.slice/user@1000.service/app.slice\n", "c2", 4711},
        {"no session", "0::/system.slice/cron.service\n", "4294967295", 0},
        {"unknown session", "0::/user.slice/session-9.scope\n", "", 0},
    };
    for (const Case& c : cases) {
        FakeProc proc;
        QTemporaryDir sessions;
        proc.write("self/cgroup", c.cgroup);
        proc.write("self/sessionid", c.auditSession);
        QFile record(sessions.filePath(QStringLiteral("c2")));
        ASSERT_TRUE(record.open(QIODevice::WriteOnly));
        record.write("# This is private data. Do not parse.\nUID=1000\nUSER=u\nACTIVE=1\nLEADER=4711\nTYPE=x11\n");
        record.close();
        EXPECT_EQ(ProcProcessTable(proc.root.path(), sessions.path(), 1000).sessionLeader(), c.leader) << c.name;
    }
}

// As root, whose signals reach every process, only the processes of Vessik's own
// login session are listed, whoever runs them: never the system's services, and
// nothing at all outside a session. Every other user lists its own processes.
TEST(ProcProcessTable, AsRootListsOnlyTheProcessesOfItsOwnSession) {
    struct Process {
        const char* pid;
        QByteArray cgroup;
        QByteArray auditSession;
        const char* uid;
    };
    const Process table[] = {
        {"1", "0::/init.scope\n", "4294967295", "0"},
        {"300", "0::/system.slice/dbus.service\n", "4294967295", "101"},
        {"310", "0::/system.slice/systemd-logind.service\n", "4294967295", "0"},
        {"400", "0::/user.slice/user-1000.slice/session-c2.scope\n", "2", "1000"},
        {"401", "1:name=systemd:/user.slice/user-1000.slice/session-c2.scope\n", "2", "0"}, // sudo in the session
        {"402", "0::/user.slice/user-1000.slice/user@1000.service/app.slice/a.service\n", "2", "1000"},
        {"500", "0::/user.slice/user-1001.slice/session-c3.scope\n", "3", "1001"},
    };
    struct Case {
        const char* name;
        QByteArray cgroup; // Vessik's own
        QByteArray auditSession;
        uid_t uid;
        std::vector<pid_t> listed;
    };
    const Case cases[] = {
        {"root in session c2", "0::/user.slice/user-1000.slice/session-c2.scope\n", "2", 0, {400, 401}},
        {"root with audit session 2 alone", "0::/user.slice/user-1000.slice/u.slice\n", "2", 0, {400, 401, 402}},
        {"root outside any session", "0::/system.slice/vessik.service\n", "4294967295", 0, {}},
        {"root without audit", "0::/\n", "", 0, {}},
        {"a user in session c2", "0::/user.slice/user-1000.slice/session-c2.scope\n", "2", 1000, {400, 402}},
    };
    for (const Case& c : cases) {
        FakeProc proc;
        for (const Process& p : table) {
            proc.add(p.pid, stat(QByteArray(p.pid).toInt(), "p", 'S', 0), QByteArray("Uid:\t") + p.uid + "\t0\t0\t0");
            proc.write(QByteArray(p.pid) + "/cgroup", p.cgroup);
            proc.write(QByteArray(p.pid) + "/sessionid", p.auditSession);
        }
        proc.write("self/cgroup", c.cgroup);
        proc.write("self/sessionid", c.auditSession);
        std::vector<pid_t> listed;
        for (const ProcessInfo& p : ProcProcessTable(proc.root.path(), QString(), c.uid).processes()) {
            listed.push_back(p.pid);
        }
        EXPECT_EQ(listed, c.listed) << c.name;
    }
}

// The same-user rule on the real /proc, for a child of the test's own (run as an
// unprivileged user when the test runs as root).
TEST(ProcProcessTable, FindsAProcessOfTheUserOnTheRealProc) {
    const bool root = ::getuid() == 0;
    const uid_t uid = root ? 65534 : ::getuid();
    QProcess child;
    if (root) {
        child.start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                     QStringLiteral("sleep"), QStringLiteral("60")});
    } else {
        child.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    }
    ASSERT_TRUE(child.waitForStarted());
    const auto pid = static_cast<pid_t>(child.processId());
    std::vector<ProcessInfo> list;
    const bool found = QTest::qWaitFor(
        [&] {
            list = ProcProcessTable(QStringLiteral("/proc"), QString(), uid).processes();
            return std::any_of(list.begin(), list.end(), [pid](const ProcessInfo& p) {
                return p.pid == pid && p.name == QStringLiteral("sleep"); // once setpriv has become sleep
            });
        },
        5000);
    child.kill();
    child.waitForFinished();
    EXPECT_TRUE(found);
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(),
                               [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; }));
}

} // namespace
