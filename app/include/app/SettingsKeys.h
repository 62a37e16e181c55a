#pragma once
// Every stored setting: its key, its default and, for numbers, the range a value must lie
// in. The one place these figures live; the texts that name them are built from here.
// Plain values; any thread.

#include "app/TimeDisplayMode.h"

#include <QLatin1StringView>

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

struct SettingsKeys {
    SettingsKeys() = delete;

    static constexpr RefreshIntervalSetting refreshInterval{QLatin1StringView("refreshIntervalSeconds"), 60, 30,
                                                            86400, 0};
    static constexpr TimeDisplayModeSetting timeDisplayMode{QLatin1StringView("timeDisplayMode"),
                                                            TimeDisplayMode::resetAt};
};

static_assert(SettingsKeys::refreshInterval.inRange(SettingsKeys::refreshInterval.defaultSeconds));
static_assert(!SettingsKeys::refreshInterval.inRange(SettingsKeys::refreshInterval.offSeconds));

} // namespace tallyglass
