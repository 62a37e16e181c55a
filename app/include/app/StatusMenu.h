#pragma once
// Fills the tray's menu from the delegate's state at the moment it opens. Main thread only.

#include "app/SettingsKeys.h"
#include "app/TimeTexts.h"
#include "usage/UsageSnapshot.h"

#include <QString>
#include <QVariant>
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
    TimeContext time;
};

// What the items do; the selection handlers receive the item's data (its represented object).
struct StatusMenuActions {
    std::function<void()> refreshNow;
    std::function<void(const QVariant&)> selectRefreshInterval;
    std::function<void()> setCustomRefreshInterval;
    std::function<void(const QVariant&)> selectTimeDisplayMode;
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
};

} // namespace tallyglass
