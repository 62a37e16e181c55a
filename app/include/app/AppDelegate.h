#pragma once
// Owns the tray item, the two timers, the latest usage and status text, and the client. Main thread only.

#include "app/Clock.h"
#include "app/IntervalDialog.h"
#include "app/LoginItemService.h"
#include "app/RepeatingTimer.h"
#include "app/SettingsStore.h"
#include "app/StatusItem.h"
#include "app/StatusTexts.h"
#include "app/TimeTexts.h"
#include "app/UsageClient.h"
#include "usage/UsageSnapshot.h"

#include <QObject>
#include <QUrl>
#include <QVariant>
#include <functional>
#include <memory>
#include <optional>

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
    };

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

    Collaborators c_;
    std::unique_ptr<RepeatingTimer> timer_;
    std::unique_ptr<RepeatingTimer> countdownTimer_;
    std::optional<UsageSnapshot> snapshot_;
    std::optional<QString> statusMessage_;
};

} // namespace tallyglass
