// The idle time, the once-a-second inactivity check and the watch on the
// settings file that wakes it.
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QtCore/QDir>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>

#include "fakes/RunningVessik.h"
#include "platform/linux/InotifyFileWatch.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;

TEST(SystemIdleTime, WholeSecondsTruncatedOrMinusOneWhenUnknown) {
    RunningVessik v({.upTo = RunningVessik::Built, .interface = false});
    EXPECT_EQ(SystemIdleTime(), -1) << "no delegate yet";
    v.delegate().awakeFromNib();
    const std::pair<std::optional<std::int64_t>, std::int64_t> cases[] = {
        {std::nullopt, -1},
        {0, 0},
        {kSecond - 1, 0},
        {kSecond, 1},
        {4900000000, 4},
        {5 * kSecond, 5},
        {INT64_MAX, INT64_MAX / kSecond},
    };
    for (const auto& [nanoseconds, seconds] : cases) {
        v.fakes.idle->nanoseconds = nanoseconds;
        EXPECT_EQ(SystemIdleTime(), seconds) << nanoseconds.value_or(-1);
    }
}

// Woken from its interface, not launched: no timer ticks but the test's own.
const RunningVessik::Start kAwake{.upTo = RunningVessik::Awake};

// One tick of the idle timer, from a fresh start, against the real lock.
struct Tick {
    const char* name;
    std::optional<std::int64_t> idleNanoseconds;
    std::optional<std::int64_t> limit; // "InactivityTime"; nothing: stored as text below
    const char* limitText;
    bool password;
    bool locks;
};

TEST(InactivityLock, LocksOnceTheIdleSecondsReachTheLimit) {
    const Tick ticks[] = {
        {"4.9 s against 5", 4900000000, 5, nullptr, true, false},
        {"5.0 s against 5", 5 * kSecond, 5, nullptr, true, true},
        {"a long idle", 400 * kSecond, 5, nullptr, true, true},
        {"limit as text", 3 * kSecond, std::nullopt, "3", true, true},
        {"text limit not reached", 2 * kSecond, std::nullopt, " 3 s", true, false},
        {"idle time unknown", std::nullopt, 5, nullptr, true, false},
        {"unknown and limit 0", std::nullopt, 0, nullptr, true, false},
        {"unknown and negative limit", std::nullopt, -1, nullptr, true, true},
        {"limit 0: lock asked, declined", 7 * kSecond, 0, nullptr, true, false},
        {"negative limit", 0, -30, nullptr, true, true},
        {"no password", 400 * kSecond, 5, nullptr, false, false},
    };
    for (const Tick& t : ticks) {
        RunningVessik v(kAwake);
        v.files.editSettings([&t](PropertyList& p) {
            if (t.limit) {
                p.setInteger(QStringLiteral("InactivityTime"), *t.limit);
            } else {
                p.setString(QStringLiteral("InactivityTime"), QString::fromLatin1(t.limitText));
            }
            if (t.password) {
                p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
            }
        });
        v.fakes.idle->nanoseconds = t.idleNanoseconds;

        v.delegate().inactivityLock(); // loads the file itself
        EXPECT_EQ(v.delegate().isCaptured(), t.locks) << t.name;
    }
}

TEST(InactivityLock, AChangedLimitCountsFromTheNextTick) {
    RunningVessik v(kAwake);
    v.files.editSettings([](PropertyList& p) {
        p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
        p.setInteger(QStringLiteral("InactivityTime"), 60);
    });
    v.fakes.idle->nanoseconds = 10 * kSecond;

    v.delegate().inactivityLock();
    EXPECT_FALSE(v.delegate().isCaptured());
    v.files.editSettings([](PropertyList& p) { p.setInteger(QStringLiteral("InactivityTime"), 10); });
    v.delegate().inactivityLock();
    EXPECT_TRUE(v.delegate().isCaptured());
}

// The timer sleeps through the seconds in which the lock cannot come due, and
// ticks every second again for the last one, so the lock keeps its second.
// Whatever the limit and the idle time, it sleeps from one second to an hour and
// never past the moment the lock could come due.
TEST(InactivityLock, TheTimerSleepsOnlyWhileTheLockCannotComeDue) {
    RunningVessik v;
    v.files.editSettings([](PropertyList& p) { p.setInteger(QStringLiteral("InactivityTime"), 300); });
    v.start({.upTo = RunningVessik::Launched});
    VessikAppDelegate& d = v.delegate();
    FakePlatform& fakes = v.fakes;
    ASSERT_NE(d.inactivityTimer(), nullptr);
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000) << "the first check comes one second after start-up";
    EXPECT_EQ(fakes.fileWatch->path, v.files.settingsPath());
    EXPECT_EQ(fakes.fileWatch->folders, 3) << "Resources, the bundle and the folder that holds it";

    // No password: a limit that is reached asks for a lock, which is refused.
    struct Pace {
        std::int64_t limit;
        const char* limitText; // stored as this text instead, when set
        std::optional<std::int64_t> idle;
        int interval;
    };
    const Pace paces[] = {
        {300, nullptr, 0, 299000},                 // nothing can happen for 299 s
        {300, nullptr, 4900000000, 295000},        // 4.9 s idle: due at 300 s at the earliest
        {300, nullptr, 297 * kSecond, 2000},       // the last seconds
        {300, nullptr, 298 * kSecond, 1000},       // ...are ticked one by one
        {300, nullptr, 299 * kSecond + 999, 1000}, // 299.x s: the next tick locks
        {300, nullptr, std::nullopt, 1000},        // unknown idle time: every second
        {3, nullptr, 0, 2000},
        {3601, nullptr, 0, 3600000}, // never more than an hour
        {INT64_MAX, nullptr, 0, 3600000},
        {INT64_MAX, nullptr, INT64_MAX, 3600000},
        {0, "99999999999999999999", 5 * kSecond, 3600000}, // saturates at INT64_MAX
        {INT64_MIN, nullptr, 0, 1000},
        {INT64_MIN, nullptr, INT64_MAX, 1000}, // limit - idle would overflow
        {0, "-99999999999999999999", 5 * kSecond, 1000},
        {0, nullptr, 5 * kSecond, 1000},
        {-30, nullptr, 0, 1000},
        {-30, nullptr, std::nullopt, 1000},
    };
    for (const Pace& pace : paces) {
        v.files.editSettings([&pace](PropertyList& p) {
            if (pace.limitText != nullptr) {
                p.setString(QStringLiteral("InactivityTime"), QString::fromLatin1(pace.limitText));
            } else {
                p.setInteger(QStringLiteral("InactivityTime"), pace.limit);
            }
        });
        fakes.idle->nanoseconds = pace.idle;
        d.inactivityLock();
        ASSERT_FALSE(d.isCaptured());
        EXPECT_EQ(d.inactivityTimer()->interval(), pace.interval)
            << (pace.limitText != nullptr ? pace.limitText : std::to_string(pace.limit)) << " after "
            << pace.idle.value_or(-1) << " ns";
    }

    // A change of the settings file brings the one-second tick back at once; while
    // changes may go unreported, the timer ticks every second.
    v.files.editSettings([](PropertyList& p) {
        p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
        p.setInteger(QStringLiteral("InactivityTime"), 300);
    });
    fakes.idle->nanoseconds = 0;
    d.inactivityLock();
    ASSERT_EQ(d.inactivityTimer()->interval(), 299000);
    fakes.fileWatch->changed();
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000);
    fakes.fileWatch->complete = false;
    d.inactivityLock();
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000);
    fakes.fileWatch->complete = true;

    // After the lock and the unlock the first check is one second later again.
    fakes.idle->nanoseconds = 300 * kSecond;
    d.inactivityLock();
    ASSERT_TRUE(d.isCaptured());
    d.unlockScreen();
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000);

    // While another program (a video player) holds the idle lock off, the timer
    // sleeps as if no time had passed; the end of the inhibition brings the
    // one-second tick, and with it the lock, back.
    fakes.screenSaver->held = {FakeScreenSaver::player()};
    fakes.idle->nanoseconds = 400 * kSecond;
    d.inactivityLock();
    EXPECT_FALSE(d.isCaptured());
    EXPECT_EQ(d.inactivityTimer()->interval(), 299000); // as at an idle time of 0 against 300 s
    fakes.screenSaver->setInhibited(false);
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000);
    d.inactivityLock();
    EXPECT_TRUE(d.isCaptured());
}

// A settings file in its bundle, in a folder of applications, for the real watch.
class WatchedTree {
public:
    static constexpr const char* kFile = "Apps/Vessik.app/Resources/Settings.plist";
    explicit WatchedTree(const char* start) {
        for (const char* folder : {"Apps", "Apps/Vessik.app", "Apps/Vessik.app/Resources"}) {
            if (std::string_view(start).starts_with(folder)) {
                mkdir(folder);
            }
        }
        if (std::string_view(start) == kFile) {
            write(kFile);
        }
    }
    ~WatchedTree() {
        if (keptOpen_ >= 0) {
            ::close(keptOpen_);
        }
    }
    QString path(const char* relative) const { return root_.filePath(QString::fromLatin1(relative)); }
    // Written whole: created, or truncated in place, then closed unless `keepOpen`.
    void write(const char* relative, bool keepOpen = false) {
        const int fd = ::open(native(relative).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << relative;
        ASSERT_EQ(::write(fd, "<plist/>\n", 9), 9);
        if (keepOpen) {
            keptOpen_ = fd;
        } else {
            ::close(fd);
        }
    }
    void mkdir(const char* relative) { ASSERT_EQ(::mkdir(native(relative).constData(), 0700), 0) << relative; }
    void move(const char* from, const char* to) {
        ASSERT_EQ(::rename(native(from).constData(), native(to).constData()), 0) << from;
    }
    void remove(const char* relative) { ASSERT_TRUE(QDir(path(relative)).removeRecursively()) << relative; }
    void unlink(const char* relative) { ASSERT_EQ(::unlink(native(relative).constData()), 0) << relative; }
    void chmod(const char* relative) { ASSERT_EQ(::chmod(native(relative).constData(), 0640), 0) << relative; }

private:
    QByteArray native(const char* relative) const { return QFile::encodeName(path(relative)); }
    QTemporaryDir root_;
    int keptOpen_ = -1;
};

// Every way a person can change the settings file is reported, whatever was
// replaced before; changes beside the file, its folders and replaced folders
// let go of are not. After the steps of each way, the file written in place is
// reported again: the watch follows what the path names now.
TEST(InotifyFileWatch, ReportsEveryChangeOfTheFileAndItsFoldersAndNothingBeside) {
    constexpr const char* kFile = WatchedTree::kFile;
    constexpr const char* kResources = "Apps/Vessik.app/Resources";
    using Tree = WatchedTree;
    struct Step {
        std::function<void(Tree&)> act;
        bool reported;
    };
    auto replaceResources = [](const char* old) {
        return std::vector<Step>{
            {[](Tree& t) {
                 t.mkdir("Apps/Vessik.app/Resources.new");
                 t.write("Apps/Vessik.app/Resources.new/x");
             },
             false},
            {[old](Tree& t) { t.move(kResources, old); }, true},
            {[](Tree& t) {
                 t.move("Apps/Vessik.app/Resources.new", kResources);
                 t.write(kFile);
             },
             true},
            {[old](Tree& t) { t.write((std::string(old) + "/Settings.plist").c_str()); }, false},
        };
    };
    struct Way {
        const char* name;
        const char* start; // what exists when the watch begins
        std::vector<Step> steps;
    };
    std::vector<Way> ways = {
        {"rewritten in place and closed", kFile, {{[](Tree& t) { t.write(kFile); }, true}}},
        {"rewritten in place, kept open", kFile, {{[](Tree& t) { t.write(kFile, true); }, true}}},
        {"mode changed", kFile, {{[](Tree& t) { t.chmod(kFile); }, true}}},
        {"replaced by a rename",
         kFile,
         {{[](Tree& t) { t.write("Apps/Vessik.app/Resources/Settings.plist.new"); }, false},
          {[](Tree& t) { t.move("Apps/Vessik.app/Resources/Settings.plist.new", kFile); }, true}}},
        {"deleted and put back",
         kFile,
         {{[](Tree& t) { t.unlink(kFile); }, true}, {[](Tree& t) { t.write(kFile); }, true}}},
        {"Resources replaced", kFile, replaceResources("Apps/Vessik.app/Old")},
        {"Resources missing, then created",
         "Apps/Vessik.app",
         {{[](Tree& t) { t.mkdir(kResources); }, true}, {[](Tree& t) { t.write(kFile); }, true}}},
        {"the bundle moved away and back",
         kFile,
         {{[](Tree& t) { t.move("Apps/Vessik.app", "Apps/Away.app"); }, true},
          {[](Tree& t) { t.write("Apps/Away.app/Resources/Settings.plist"); }, false},
          {[](Tree& t) { t.move("Apps/Away.app", "Apps/Vessik.app"); }, true}}},
        {"changes beside it",
         kFile,
         {{[](Tree& t) { t.write("Apps/Vessik.app/Resources/tray.png"); }, false},
          {[](Tree& t) { t.mkdir("Apps/Other.app"); }, false},
          {[](Tree& t) { t.write("Apps/Vessik.app/Vessik"); }, false}}},
    };
    Way twice{"Resources replaced twice", kFile, replaceResources("Apps/Vessik.app/Old")};
    for (Step& step : replaceResources("Apps/Vessik.app/Older")) {
        twice.steps.push_back(std::move(step));
    }
    ways.push_back(std::move(twice));

    for (Way& way : ways) {
        way.steps.push_back({[](Tree& t) { t.write(kFile); }, true});
        Tree tree(way.start);
        InotifyFileWatch watch;
        int reports = 0;
        watch.watch(tree.path(kFile), 3, [&reports] { ++reports; });
        ASSERT_TRUE(watch.armed()) << way.name;
        for (std::size_t i = 0; i < way.steps.size(); ++i) {
            const int before = reports;
            way.steps[i].act(tree);
            if (way.steps[i].reported) {
                EXPECT_TRUE(QTest::qWaitFor([&] { return reports > before; }, 5000)) << way.name << ", step " << i;
            } else {
                // inotify queues its events before the change returns: one turn reads them.
                QCoreApplication::processEvents();
                EXPECT_EQ(reports, before) << way.name << ", step " << i;
            }
        }
        EXPECT_TRUE(watch.armed()) << way.name;
    }
}

// Without its top folder nothing can be watched for; the watch says so until
// that folder exists, and counts from the call after the one that repaired it.
TEST(InotifyFileWatch, IsArmedOnlyWhileEveryChangeIsReported) {
    InotifyFileWatch watch;
    EXPECT_FALSE(watch.armed()) << "before watch()";
    WatchedTree tree("");
    int reports = 0;
    watch.watch(tree.path(WatchedTree::kFile), 3, [&reports] { ++reports; });
    EXPECT_FALSE(watch.armed());
    tree.mkdir("Apps");
    EXPECT_FALSE(watch.armed()) << "repaired in this call";
    EXPECT_TRUE(watch.armed());
    tree.mkdir("Apps/Vessik.app");
    EXPECT_TRUE(QTest::qWaitFor([&] { return reports > 0; }, 5000));
}

} // namespace
