#pragma once
// Fills the tray's menu from the delegate's state at the moment it opens. Main thread only.

#include "app/SettingsKeys.h"
#include "texts/AllowanceTexts.h"
#include "texts/TimeTexts.h"
#include "history/Forecast.h"
#include "usage/UsageSnapshot.h"

#include <QString>
#include <functional>
#include <optional>

class QMenu;
class QObject;

namespace tallyglass {

struct StatusMenuState {
    std::optional<UsageSnapshot> snapshot;
    std::optional<QString> statusMessage;
    double refreshInterval = SettingsKeys::refreshInterval.defaultSeconds;
    TimeDisplayMode mode = SettingsKeys::timeDisplayMode.defaultMode;
    bool launchAtLogin = false;
    int usageAlertPercent = SettingsKeys::usageAlertPercent.defaultPercent;
    // When each window is expected to be used up, when that falls before its reset.
    std::optional<double> fiveHourExhaustion;
    std::optional<double> weekExhaustion;
    // What the latest reading said beyond the two windows.
    std::optional<AllowanceLines> allowance;
    TimeContext time;
};

// What the items do; a choice hands over the value it stands for.
struct StatusMenuActions {
    std::function<void()> refreshNow;
    std::function<void()> showHistory;
    std::function<void()> useReset;
    std::function<void(int percent)> selectUsageAlert;
    std::function<void(double seconds)> selectRefreshInterval;
    std::function<void()> setCustomRefreshInterval;
    std::function<void(TimeDisplayMode)> selectTimeDisplayMode;
    std::function<void()> toggleLaunchAtLogin;
    std::function<void()> openCodex;
    std::function<void()> quit;
};

class StatusMenu {
public:
    StatusMenu() = delete;

    // Replaces everything in `menu`. Actions fire only while `context` lives.
    static void fill(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions,
                     const QObject* context);

    // A window's time line, such as "5h 갱신: 3:05 PM"; notifications show it too.
    static QString timeLine(UsageWindowKind kind, const UsageWindow& window, TimeDisplayMode mode,
                            const TimeContext& time);
};

} // namespace tallyglass
