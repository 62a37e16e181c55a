#include "app/ProductionCollaborators.h"

#include "app/CodexUsageClient.h"
#include "platform/DesktopNotifier.h"
#include "app/HistoryWindow.h"
#include "app/QSettingsStore.h"
#include "app/QtRepeatingTimer.h"
#include "app/RefreshIntervalDialog.h"
#include "app/SystemClock.h"
#include "app/TrayStatusItem.h"
#include "app/UseResetDialog.h"
#include "platform/XdgAutostart.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"
#include "history/StateFolder.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QPointer>

namespace tallyglass {
namespace {

// Made for each run: a dialog the user may never open holds no widgets meanwhile.
class DialogOnDemand : public IntervalDialog {
public:
    std::optional<QString> run(const QString& prefill) override
    {
        RefreshIntervalDialog dialog;
        return dialog.run(prefill);
    }
};

// Made at the first notification: most sessions never reach an alert.
class NotifierOnDemand : public Notifier {
public:
    void notify(NotificationTopic topic, const Notification& notification) override
    {
        if (!notifier_) {
            notifier_ = std::make_unique<DesktopNotifier>();
            notifier_->onAction = [this] {
                if (onAction)
                    onAction();
            };
        }
        notifier_->notify(topic, notification);
    }

private:
    std::unique_ptr<DesktopNotifier> notifier_;
};

// The confirmation is rarely needed: its widgets live only while it is open.
class OnDemandResetDialog : public ResetDialog {
public:
    bool confirm(const QStringList& usageLines, std::int64_t resetsLeft) override
    {
        return UseResetDialog().confirm(usageLines, resetsLeft);
    }
};

} // namespace

AppDelegate::Collaborators productionCollaborators()
{
    AppDelegate::Collaborators c;
    c.client = std::make_unique<CodexUsageClient>();
    c.statusItem = std::make_unique<TrayStatusItem>();
    c.clock = std::make_unique<SystemClock>();
    c.settings = std::make_unique<QSettingsStore>();
    auto loginItem = std::make_unique<XdgAutostart>(XdgAutostart::forCurrentUser());
    // An entry left by a copy at another path (moved, or installed elsewhere since) would
    // start that copy or nothing; launch at login now starts this one.
    loginItem->refresh();
    c.loginItem = std::move(loginItem);
    c.intervalDialog = std::make_unique<DialogOnDemand>();
    c.resetDialog = std::make_unique<OnDemandResetDialog>();
    c.stateFolder = stateFolder();
    c.makeRefreshTimer = QtRepeatingTimer::factory(Qt::PreciseTimer);
    c.makeCountdownTimer = QtRepeatingTimer::factory(Qt::CoarseTimer);
    c.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    c.terminate = [] { QCoreApplication::quit(); };
    c.history = std::make_unique<HistoryRecorder>(HistoryStore::defaultPath());
    c.notifier = std::make_unique<NotifierOnDemand>();
    // One window; a second click brings it forward with the current readings.
    c.showHistory = [window = QPointer<HistoryWindow>()](const std::vector<UsageSnapshot>& readings,
                                                         const TimeContext& time) mutable {
        if (!window) {
            window = new HistoryWindow;
            window->setAttribute(Qt::WA_DeleteOnClose);
        }
        window->setReadings(readings, time);
        window->show();
        window->raise();
        window->activateWindow();
    };
    return c;
}

} // namespace tallyglass
