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

} // namespace
