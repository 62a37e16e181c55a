#include "usage/UsageSnapshot.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

TEST(UsageWindow, RemainingPercentIsClampedComplement)
{
    const struct {
        std::int64_t used;
        std::int64_t remaining;
    } cases[] = {
        {0, 100}, {1, 99}, {37, 63}, {99, 1}, {100, 0}, {-5, 100}, {150, 0},
        {INT64_MIN, 100}, {INT64_MAX, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ((UsageWindow{c.used, 300, 0.0}.remainingPercent()), c.remaining) << "usedPercent " << c.used;
}

TEST(UsageWindow, EqualityTellsAbsentFromPresent)
{
    const UsageWindow base{10, 300, 3600.0};
    EXPECT_EQ(base, (UsageWindow{10, 300, 3600.0}));
    EXPECT_NE(base, (UsageWindow{11, 300, 3600.0}));
    EXPECT_NE(base, (UsageWindow{10, 10080, 3600.0}));
    EXPECT_NE(base, (UsageWindow{10, 300, 3600.5}));

    // Absent differs from any present value, zero included.
    EXPECT_NE((UsageWindow{10, std::nullopt, 0.0}), (UsageWindow{10, 0, 0.0}));
    EXPECT_NE((UsageWindow{10, 300, std::nullopt}), (UsageWindow{10, 300, 0.0}));
    EXPECT_EQ((UsageWindow{10, std::nullopt, std::nullopt}), (UsageWindow{10, std::nullopt, std::nullopt}));
}

TEST(UsageSnapshot, EqualityCoversBothWindowsAndReceivedAt)
{
    const UsageWindow five{42, 300, 3600.0};
    const UsageWindow week{10, 10080, 7200.0};
    const UsageSnapshot full{five, week, 100.25};

    EXPECT_EQ(full, (UsageSnapshot{five, week, 100.25}));
    EXPECT_NE(full, (UsageSnapshot{five, week, 100.5})) << "same payload read at another moment";
    EXPECT_NE(full, (UsageSnapshot{std::nullopt, week, 100.25}));
    EXPECT_NE(full, (UsageSnapshot{five, std::nullopt, 100.25}));
    EXPECT_NE(full, (UsageSnapshot{five, UsageWindow{11, 10080, 7200.0}, 100.25}));

    // A snapshot with a single window is a valid value in either slot.
    const UsageSnapshot onlyWeek{std::nullopt, week, 1.0};
    const UsageSnapshot onlyFive{five, std::nullopt, 1.0};
    EXPECT_FALSE(onlyWeek.fiveHour.has_value());
    EXPECT_EQ(onlyWeek.week, week);
    EXPECT_EQ(onlyFive.fiveHour, five);
    EXPECT_NE(onlyWeek, onlyFive);
}

} // namespace
} // namespace tallyglass
