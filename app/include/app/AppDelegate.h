#pragma once
// Wires the tray item, the menu, the two timers, the notifications and the client
// together, and holds the latest usage and status text. Main thread only.

#include "app/AlertStateFile.h"
#include "app/Clock.h"
#include "app/IntervalDialog.h"
#include "app/RecentReadings.h"
#include "app/RepeatingTimer.h"
#include "app/ResetDialog.h"
#include "app/SettingsStore.h"
#include "app/StatusItem.h"
#include "app/UsageAlerts.h"
#include "app/UsageClient.h"
#include "history/UsageHistory.h"
#include "platform/LoginItemService.h"
#include "platform/Notifier.h"
#include "texts/StatusTexts.h"
#include "texts/TimeTexts.h"
#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

#include <QObject>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QMenu;

namespace tallyglass {

class AppDelegate : public QObject {
public:
    struct Collaborators {
        std::unique_ptr<UsageClient> client;
        std::unique_ptr<StatusItem> statusItem;
        std::unique_ptr<Clock> clock;
        std::unique_ptr<SettingsStore> settings;
        std::unique_ptr<LoginItemService> loginItem;
        std::unique_ptr<IntervalDialog> intervalDialog;
        std::unique_ptr<ResetDialog> resetDialog;
        // Where the notifications' state and a pending reset's key are kept.
        QString stateFolder;
        TimerFactory makeRefreshTimer;
        TimerFactory makeCountdownTimer;
        std::function<void(const QUrl&)> openUrl;
        // Ends the event loop; applicationWillTerminate follows.
        std::function<void()> terminate;
        // Optional: without them there is no stored history, or no notifications.
        std::unique_ptr<UsageHistory> history;
        std::unique_ptr<Notifier> notifier;
        // Shows the history window (or raises it) with these readings, oldest first.
        std::function<void(const std::vector<UsageSnapshot>&, const TimeContext&)> showHistory;
    };

    static inline const QUrl codexUrl{QStringLiteral("https://chatgpt.com/codex")};

    // Nothing starts here: no client start, no callbacks, no timers.
    explicit AppDelegate(Collaborators collaborators);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    void statusItemClicked(StatusClick click);
    void refreshNow();
    void selectRefreshInterval(double seconds);
    void selectTimeDisplayMode(TimeDisplayMode mode);
    void setCustomRefreshInterval();
    void toggleLaunchAtLogin();
    void openCodex();
    void showHistory();
    void selectUsageAlert(int percent);
    // Asks the user, then spends the soonest-expiring banked reset of the reading shown.
    void useReset();
    void quit();

private:
    void configureRefreshTimer();
    void updateTitle();
    void show(const StatusTexts& texts);
    void makeMenu(QMenu& menu);
    double refreshInterval() const;
    TimeContext timeContext() const;

    void receiveSnapshot(const UsageSnapshot& snapshot);
    void receiveStatus(const std::optional<ClientStatus>& status);
    void checkUsageAlerts(const UsageSnapshot& snapshot);
    void confirmReset(const std::optional<UsageSnapshot>& snapshot, const UsageAllowance& allowance);

    Collaborators c_;
    std::unique_ptr<RepeatingTimer> timer_;
    std::unique_ptr<RepeatingTimer> countdownTimer_;
    std::optional<UsageSnapshot> snapshot_;
    // What the shown reading said beyond its windows, and what the next one says until it arrives.
    std::optional<UsageAllowance> allowance_;
    std::optional<UsageAllowance> arrivingAllowance_;
    std::optional<QString> statusMessage_;
    // The reading of the last notification that offered to use a banked reset: its action
    // asks about that one when a refresh under way has cleared the display.
    std::optional<std::pair<UsageSnapshot, UsageAllowance>> announced_;
    RecentReadings recent_;
    AlertStateFile alertFile_;
    UsageAlerts alerts_;
};

} // namespace tallyglass
