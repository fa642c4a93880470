// The idle time and the once-a-second inactivity check.
#include <gtest/gtest.h>

#include <QtTest/QTest>

#include "fakes/RunningVessik.h"

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
TEST(InactivityLock, TheTimerSleepsOnlyWhileTheLockCannotComeDue) {
    RunningVessik v;
    v.files.editSettings([](PropertyList& p) {
        p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
        p.setInteger(QStringLiteral("InactivityTime"), 300);
    });
    v.start({.upTo = RunningVessik::Launched});
    VessikAppDelegate& d = v.delegate();
    FakePlatform& fakes = v.fakes;
    ASSERT_NE(d.inactivityTimer(), nullptr);
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000) << "the first check comes one second after start-up";

    const std::pair<std::optional<std::int64_t>, int> cases[] = {
        {0, 299000},                 // nothing can happen for 299 s
        {4900000000, 295000},        // 4.9 s idle: due at 300 s at the earliest
        {297 * kSecond, 2000},       // the last seconds
        {298 * kSecond, 1000},       // ...are ticked one by one
        {299 * kSecond + 999, 1000}, // 299.x s: the next tick locks
        {std::nullopt, 1000},        // unknown idle time: every second
    };
    for (const auto& [idle, interval] : cases) {
        fakes.idle->nanoseconds = idle;
        d.inactivityLock();
        ASSERT_FALSE(d.isCaptured());
        EXPECT_EQ(d.inactivityTimer()->interval(), interval) << idle.value_or(-1);
    }

    // A change of the settings file brings the one-second tick back at once.
    fakes.idle->nanoseconds = 0;
    d.inactivityLock();
    ASSERT_EQ(d.inactivityTimer()->interval(), 299000);
    PropertyList p = v.files.settings();
    p.setInteger(QStringLiteral("InactivityTime"), 5); // written by Vessik's own writer: replaced by a rename
    ASSERT_TRUE(d.writePlist(p, QStringLiteral("Settings")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return d.inactivityTimer()->interval() == 1000; }, 5000));

    // After the lock and the unlock the first check is one second later again.
    fakes.idle->nanoseconds = 5 * kSecond;
    d.inactivityLock();
    ASSERT_TRUE(d.isCaptured());
    d.unlockScreen();
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000);

    // While another program (a video player) holds the idle lock off, the timer
    // sleeps as if no time had passed; the end of the inhibition brings the
    // one-second tick, and with it the lock, back.
    fakes.screenSaver->inhibitedNow = true;
    fakes.idle->nanoseconds = 400 * kSecond;
    d.inactivityLock();
    EXPECT_FALSE(d.isCaptured());
    EXPECT_EQ(d.inactivityTimer()->interval(), 4000);
    fakes.screenSaver->setInhibited(false);
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000);
    d.inactivityLock();
    EXPECT_TRUE(d.isCaptured());
}

} // namespace
