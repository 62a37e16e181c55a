#include "history/Forecast.h"

#include <gtest/gtest.h>
#include <vector>

namespace tallyglass {
namespace {

constexpr double t0 = 1'800'000'000;
constexpr double reset = t0 + 5 * 3600;

struct Case {
    const char* name;
    std::vector<UsageSnapshot> readings;
    UsageWindowKind kind;
    double now;
    std::optional<double> at; // expected time of 100%, to the second
};

// Five-hour readings every `step` seconds from `start`, used percent from `used`.
std::vector<UsageSnapshot> five(double start, double step, std::vector<std::int64_t> used, double resetsAt = reset)
{
    std::vector<UsageSnapshot> out;
    for (std::size_t i = 0; i < used.size(); ++i)
        out.push_back({UsageWindow{used[i], 300, resetsAt}, std::nullopt, start + double(i) * step});
    return out;
}

std::vector<UsageSnapshot> operator+(std::vector<UsageSnapshot> a, const std::vector<UsageSnapshot>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Forecast, ProjectsOnlyARisingRecentPaceThatEndsBeforeTheReset)
{
    const double weekReset = t0 + 5 * 86400;
    std::vector<UsageSnapshot> week;
    for (int h = 0; h <= 48; ++h) // 1% an hour for two days, 2% an hour for the last day
        week.push_back({std::nullopt, UsageWindow{h <= 24 ? h : 24 + 2 * (h - 24), 10080, weekReset}, t0 + h * 3600.0});
    const Case cases[] = {
        // 1% every 5 minutes: 100% comes 300 minutes after 40%, past the reset.
        {"steady but slow", five(t0, 300, {38, 39, 40}), UsageWindowKind::fiveHour, t0 + 700, std::nullopt},
        {"steady", five(t0, 300, {10, 20, 30, 40}), UsageWindowKind::fiveHour, t0 + 900, t0 + 900 + 60 * 30},
        {"the same reset reported half a minute apart",
         five(t0, 300, {10, 20}) + five(t0 + 600, 300, {30, 40}, reset + 30), UsageWindowKind::fiveHour, t0 + 900,
         t0 + 900 + 60 * 30},
        {"only the last hour counts", five(t0, 600, {0, 1, 2, 3, 30, 40, 50, 60, 70, 80, 90}),
         UsageWindowKind::fiveHour, t0 + 6000, t0 + 6600},
        {"pace that stopped", five(t0, 600, {10, 20, 30, 40, 40, 40, 40, 40, 40, 40, 40}), UsageWindowKind::fiveHour,
         t0 + 6000, std::nullopt},
        {"a reset in between",
         five(t0 - 3600, 600, {80, 90, 95}, t0) + five(t0 + 60, 300, {2, 12}), UsageWindowKind::fiveHour, t0 + 400,
         std::nullopt},
        {"after the reset the new window counts alone",
         five(t0 - 3600, 600, {80, 90, 95}, t0) + five(t0 + 60, 300, {2, 12, 22}), UsageWindowKind::fiveHour,
         t0 + 700, t0 + 660 + 78 * 30},
        {"too few readings", five(t0, 600, {10, 20}), UsageWindowKind::fiveHour, t0 + 700, std::nullopt},
        {"too short a span", five(t0, 100, {10, 20, 30, 40, 50}), UsageWindowKind::fiveHour, t0 + 500, std::nullopt},
        {"falling used percent", five(t0, 300, {40, 30, 20}), UsageWindowKind::fiveHour, t0 + 700, std::nullopt},
        {"readings after now are not seen", five(t0, 300, {10, 20, 30, 40}), UsageWindowKind::fiveHour, t0 + 300,
         std::nullopt},
        {"already used up", five(t0, 300, {80, 90, 100}), UsageWindowKind::fiveHour, t0 + 600, std::nullopt},
        {"week: the last 24 hours", week, UsageWindowKind::week, t0 + 48 * 3600, t0 + 48 * 3600 + 14 * 3600},
        {"the other window has no readings", week, UsageWindowKind::fiveHour, t0 + 48 * 3600, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<Exhaustion> got = Forecast::exhaustion(c.readings, c.kind, c.now);
        ASSERT_EQ(got.has_value(), c.at.has_value());
        if (got) {
            EXPECT_NEAR(got->at, *c.at, 1.0);
            EXPECT_LE(got->from, c.now);
        }
    }
}

} // namespace
} // namespace tallyglass
