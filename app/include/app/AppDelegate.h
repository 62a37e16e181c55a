#pragma once
// Owns the tray item, the two timers, the latest usage and status text, and the client. Main thread only.

#include "app/Clock.h"
#include "app/IntervalDialog.h"
#include "platform/LoginItemService.h"
#include "platform/Notifier.h"
#include "app/RepeatingTimer.h"
#include "app/SettingsStore.h"
#include "app/StatusItem.h"
#include "texts/StatusTexts.h"
#include "texts/TimeTexts.h"
#include "app/UsageClient.h"
#include "history/UsageHistory.h"
#include "usage/UsageSnapshot.h"

#include <QObject>
#include <QUrl>
#include <QVariant>
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

    // How far back the delegate keeps readings: the history window's longest chart.
    static constexpr double recentSeconds = 7 * 86400.0;

    static inline const QUrl codexUrl{QStringLiteral("https://chatgpt.com/codex")};

    // Nothing starts here: no client start, no callbacks, no timers.
    explicit AppDelegate(Collaborators collaborators);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    void statusItemClicked(StatusClick click);
    void refreshNow();
    void selectRefreshInterval(const QVariant& seconds);
    void selectTimeDisplayMode(const QVariant& rawMode);
    void setCustomRefreshInterval();
    void toggleLaunchAtLogin();
    void openCodex();
    void showHistory();
    void selectUsageAlert(const QVariant& percent);
    void quit();

private:
    void configureRefreshTimer();
    void updateTitle();
    void show(const StatusTexts& texts);
    void makeMenu(QMenu& menu);
    double refreshInterval() const;
    TimeContext timeContext() const;

    void receiveSnapshot(const UsageSnapshot& snapshot);
    void receiveStatus(const std::optional<QString>& status);
    void checkUsageAlerts(const UsageSnapshot& snapshot);

    Collaborators c_;
    std::unique_ptr<RepeatingTimer> timer_;
    std::unique_ptr<RepeatingTimer> countdownTimer_;
    std::optional<UsageSnapshot> snapshot_;
    std::optional<QString> statusMessage_;
    std::vector<UsageSnapshot> recent_; // oldest first, the last recentSeconds
    // Per window: the reset time and threshold of the notification already shown.
    struct Alerted {
        std::optional<double> resetsAt;
        int percent;
    };
    std::optional<Alerted> alerted_[2];
};

} // namespace tallyglass
