#pragma once
// When a rate-limit window will be used up at the recent pace. Pure; any thread.

#include "usage/UsageSnapshot.h"
#include "usage/UsageWindowKind.h"

#include <optional>
#include <span>

namespace tallyglass {

struct Exhaustion {
    double from;     // the latest reading of the window...
    double fromUsed; // ...and its used percent, where the projection starts
    double at;       // when the projection reaches 100%, before the window resets
};

class Forecast {
public:
    Forecast() = delete;

    static constexpr int minReadings = 3;
    static constexpr double minSpanSeconds = 600;
    // The pace is fitted over this much of the most recent readings.
    static constexpr double paceSeconds(UsageWindowKind kind) { return kind == UsageWindowKind::fiveHour ? 3600 : 86400; }

    // `readings` oldest first. Only the readings of the latest window (the same reset
    // time) up to `now` count. Nothing when there are fewer than minReadings spanning
    // less than minSpanSeconds, when the used percent did not rise, when the recent pace
    // is flat or falling, or when 100% lies at or after the reset.
    static std::optional<Exhaustion> exhaustion(std::span<const UsageSnapshot> readings, UsageWindowKind kind,
                                                double now);
};

} // namespace tallyglass
