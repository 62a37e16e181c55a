#pragma once
// What a usage chart draws, prepared from the readings: the used percent as lines broken
// where the window reset or a reading lacked it, where each reset fell, and the latest
// reading. Pure; any thread.

#include "usage/UsageSnapshot.h"
#include "usage/UsageWindowKind.h"

#include <optional>
#include <span>
#include <vector>

namespace tallyglass {

struct ChartPoint {
    double at;   // seconds since 1970-01-01T00:00:00Z
    double used; // percent as reported, not clamped

    friend bool operator==(const ChartPoint&, const ChartPoint&) = default;
};

struct UsageSeries {
    std::vector<std::vector<ChartPoint>> runs; // oldest first; each one unbroken line
    std::vector<double> resets;                // each past reset, then the coming one
    std::optional<ChartPoint> latest;          // the newest reading of the window

    // `readings` oldest first; the chart shows `from` to `to`, with `now` in between.
    // Readings after `now` are not seen; readings up to one past span (now - from)
    // before `from` only tell where the resets fell. A past reset is placed at its
    // reported time, or at the first reading of the new window when that came earlier
    // (a window reset before its time).
    static UsageSeries of(std::span<const UsageSnapshot> readings, UsageWindowKind kind, double from, double now,
                          double to);
};

} // namespace tallyglass
