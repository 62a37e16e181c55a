#include "app/UsageSeries.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

constexpr double now = 1'800'000'000;
constexpr double from = now - 86400;
constexpr double to = now + 14400;
constexpr double hour = 3600;

// A five-hour reading `at` seconds from `now`, resetting at `reset` (absolute); a
// reading without the five-hour window when `used` is negative.
UsageSnapshot at(double offset, std::int64_t used, double reset)
{
    if (used < 0)
        return {std::nullopt, UsageWindow{1, 10080, now + 86400}, now + offset};
    return {UsageWindow{used, 300, reset}, std::nullopt, now + offset};
}

TEST(UsageSeries, BreaksLinesAtResetsAndGapsAndPlacesEachReset)
{
    const double r1 = now - 3 * hour, r2 = now + 2 * hour;
    struct Case {
        const char* name;
        std::vector<UsageSnapshot> readings;
        std::vector<std::vector<double>> runs; // times of each line's points, from `now`
        std::vector<double> resets;            // from `now`
        std::optional<double> latest;          // from `now`
    };
    const Case cases[] = {
        {"a reset ends a line and is marked where it was due, then the coming one",
         {at(-5 * hour, 10, r1), at(-4 * hour, 50, r1), at(-2 * hour, 5, r2), at(-hour, 20, r2)},
         {{-5 * hour, -4 * hour}, {-2 * hour, -hour}}, {-3 * hour, 2 * hour}, -hour},
        {"the same reset reported half a minute apart is one line",
         {at(-2 * hour, 5, r2), at(-hour, 20, r2 + 30), at(-60, 30, r2 - 20)}, {{-2 * hour, -hour, -60}},
         {2 * hour - 20}, -60},
        {"a reading without the window breaks the line and marks nothing",
         {at(-2 * hour, 5, r2), at(-90 * 60, -1, 0), at(-hour, 20, r2)}, {{-2 * hour}, {-hour}}, {2 * hour}, -hour},
        {"a window reset before its time is marked at the first reading after it",
         {at(-2 * hour, 90, r2), at(-hour, 0, now + 4 * hour)}, {{-2 * hour}, {-hour}}, {-hour, 4 * hour}, -hour},
        {"readings before the chart only place a reset; readings after now are not seen",
         {at(-30 * hour, 40, now - 26 * hour), at(-25 * hour, 2, r2), at(-hour, 20, r2), at(600, 90, now + 5 * hour)},
         {{-hour}}, {-26 * hour, 2 * hour}, -hour},
        {"a coming reset beyond the chart is not marked", {at(-hour, 20, now + 5 * hour)}, {{-hour}}, {}, -hour},
        {"nothing to draw", {at(-hour, -1, 0)}, {}, {}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const UsageSeries series = UsageSeries::of(c.readings, UsageWindowKind::fiveHour, from, now, to);
        std::vector<std::vector<double>> runs;
        for (const auto& run : series.runs) {
            runs.emplace_back();
            for (const ChartPoint& point : run)
                runs.back().push_back(point.at - now);
        }
        std::vector<double> resets;
        for (double reset : series.resets)
            resets.push_back(reset - now);
        EXPECT_EQ(runs, c.runs);
        EXPECT_EQ(resets, c.resets);
        EXPECT_EQ(series.latest ? std::optional(series.latest->at - now) : std::nullopt, c.latest);
    }
}

} // namespace
} // namespace tallyglass
