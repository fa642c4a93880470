// The idle time and the once-a-second inactivity check.
#include <gtest/gtest.h>

#include "MainInterface.h"
#include "VessikAppDelegate.h"
#include "fakes/FakePlatform.h"
#include "fakes/TestBundle.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;

TEST(SystemIdleTime, WholeSecondsTruncatedOrMinusOneWhenUnknown) {
    TestBundle files;
    FakePlatform fakes;
    VessikAppDelegate d(files.bundle(), fakes.take());
    EXPECT_EQ(SystemIdleTime(), -1) << "no delegate yet";
    d.awakeFromNib();
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
        fakes.idle->nanoseconds = nanoseconds;
        EXPECT_EQ(SystemIdleTime(), seconds) << nanoseconds.value_or(-1);
    }
}

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
        TestBundle files;
        FakePlatform fakes;
        MainInterface ui(files.bundle(), fakes.take());
        VessikAppDelegate& d = ui.delegate();
        d.awakeFromNib();
        d.readPlist(QStringLiteral("Settings"));
        PropertyList p = d.properties();
        if (t.limit) {
            p.setInteger(QStringLiteral("InactivityTime"), *t.limit);
        } else {
            p.setString(QStringLiteral("InactivityTime"), QString::fromLatin1(t.limitText));
        }
        if (t.password) {
            p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
        }
        ASSERT_TRUE(d.writePlist(p, QStringLiteral("Settings")));
        d.setProperties(PropertyList()); // the tick must load the file itself
        fakes.idle->nanoseconds = t.idleNanoseconds;

        d.inactivityLock();
        EXPECT_EQ(d.isCaptured(), t.locks) << t.name;
    }
}

TEST(InactivityLock, AChangedLimitCountsFromTheNextTick) {
    TestBundle files;
    FakePlatform fakes;
    MainInterface ui(files.bundle(), fakes.take());
    VessikAppDelegate& d = ui.delegate();
    d.awakeFromNib();
    d.readPlist(QStringLiteral("Settings"));
    PropertyList p = d.properties();
    p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
    p.setInteger(QStringLiteral("InactivityTime"), 60);
    ASSERT_TRUE(d.writePlist(p, QStringLiteral("Settings")));
    fakes.idle->nanoseconds = 10 * kSecond;

    d.inactivityLock();
    EXPECT_FALSE(d.isCaptured());
    p.setInteger(QStringLiteral("InactivityTime"), 10);
    ASSERT_TRUE(d.writePlist(p, QStringLiteral("Settings")));
    d.inactivityLock();
    EXPECT_TRUE(d.isCaptured());
}

} // namespace
