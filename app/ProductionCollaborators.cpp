#include "app/ProductionCollaborators.h"

#include "app/CodexUsageClient.h"
#include "app/QSettingsStore.h"
#include "app/QtRepeatingTimer.h"
#include "app/RefreshIntervalDialog.h"
#include "app/SystemClock.h"
#include "app/TrayStatusItem.h"
#include "app/XdgAutostart.h"

#include <QCoreApplication>
#include <QDesktopServices>

namespace tallyglass {

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
    c.intervalDialog = std::make_unique<RefreshIntervalDialog>();
    c.makeRefreshTimer = QtRepeatingTimer::factory(Qt::PreciseTimer);
    c.makeCountdownTimer = QtRepeatingTimer::factory(Qt::CoarseTimer);
    c.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    c.terminate = [] { QCoreApplication::quit(); };
    return c;
}

} // namespace tallyglass
