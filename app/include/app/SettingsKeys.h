#pragma once
// Every stored setting: its key, its default and, for numbers, the range a value must lie
// in. The one place these figures live; the texts that name them are built from here.
// Plain values; any thread.

#include "texts/TimeDisplayMode.h"

#include <QLatin1StringView>
#include <algorithm>
#include <array>
#include <optional>

namespace tallyglass {

struct RefreshIntervalSetting {
    QLatin1StringView key;
    double defaultSeconds;
    double minimumSeconds;
    double maximumSeconds;
    // Stored as is, this switches automatic refresh off; it lies outside the range.
    double offSeconds;

    constexpr bool inRange(double seconds) const { return seconds >= minimumSeconds && seconds <= maximumSeconds; }
};

struct TimeDisplayModeSetting {
    QLatin1StringView key;
    TimeDisplayMode defaultMode;
};

// Remaining percent at or below which a window's notification is shown; 0 is off.
struct UsageAlertSetting {
    QLatin1StringView key;
    int defaultPercent;
    int offPercent;
    std::array<int, 3> percents; // the choices besides off, from the highest

    constexpr bool isChoice(int percent) const
    {
        return percent == offPercent || std::ranges::find(percents, percent) != percents.end();
    }
    // The choice equal to `value`, compared as doubles: converting an out-of-range double
    // (1e300, 4294967321) to int first would be undefined.
    constexpr std::optional<int> choiceOf(double value) const
    {
        if (value == offPercent)
            return offPercent;
        for (const int percent : percents) {
            if (value == percent)
                return percent;
        }
        return std::nullopt;
    }
};

struct SettingsKeys {
    SettingsKeys() = delete;

    static constexpr RefreshIntervalSetting refreshInterval{QLatin1StringView("refreshIntervalSeconds"), 60, 30,
                                                            86400, 0};
    static constexpr TimeDisplayModeSetting timeDisplayMode{QLatin1StringView("timeDisplayMode"),
                                                            TimeDisplayMode::resetAt};
    static constexpr UsageAlertSetting usageAlertPercent{QLatin1StringView("usageAlertPercent"), 10, 0, {25, 10, 5}};
};

static_assert(SettingsKeys::refreshInterval.inRange(SettingsKeys::refreshInterval.defaultSeconds));
static_assert(!SettingsKeys::refreshInterval.inRange(SettingsKeys::refreshInterval.offSeconds));
static_assert(SettingsKeys::usageAlertPercent.isChoice(SettingsKeys::usageAlertPercent.defaultPercent));

} // namespace tallyglass
