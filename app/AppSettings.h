#pragma once
// The two stored settings and the rules that turn stored values into effective ones. Main thread only.

#include "app/SettingsStore.h"
#include "app/TimeDisplayMode.h"

namespace tallyglass {

class AppSettings {
public:
    AppSettings() = delete;

    static inline const QString refreshIntervalKey = QStringLiteral("refreshIntervalSeconds");
    static inline const QString timeDisplayModeKey = QStringLiteral("timeDisplayMode");

    // 0 (automatic refresh off) or a value in 30...86400 seconds. Nothing stored, an
    // out-of-range value or a value that does not read wholly as a number gives 60.
    // Reading never writes to the store.
    static double refreshInterval(const SettingsStore& store);
    // `remaining` only for the stored text "remaining"; `resetAt` otherwise.
    static TimeDisplayMode timeDisplayMode(const SettingsStore& store);

    static void setRefreshInterval(SettingsStore& store, double seconds);
    static void setTimeDisplayMode(SettingsStore& store, TimeDisplayMode mode);
};

} // namespace tallyglass
