#pragma once
// The stored settings and the rules that turn stored values into effective ones. Main thread only.

#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"

namespace tallyglass {

class AppSettings {
public:
    AppSettings() = delete;

    // Off, or a value in the range of SettingsKeys::refreshInterval. Nothing stored, an
    // out-of-range value or a value that does not read wholly as a number gives the default.
    // Reading never writes to the store.
    static double refreshInterval(const SettingsStore& store);
    // `remaining` only for the stored text "remaining"; the default otherwise.
    static TimeDisplayMode timeDisplayMode(const SettingsStore& store);

    // One of the choices of SettingsKeys::usageAlertPercent; anything else gives the default.
    static int usageAlertPercent(const SettingsStore& store);

    static void setRefreshInterval(SettingsStore& store, double seconds);
    static void setUsageAlertPercent(SettingsStore& store, int percent);
    static void setTimeDisplayMode(SettingsStore& store, TimeDisplayMode mode);
};

} // namespace tallyglass
