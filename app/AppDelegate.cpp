#include "app/AppDelegate.h"

#include "app/AppSettings.h"
#include "app/NumberParsing.h"
#include "app/SettingsKeys.h"
#include "app/StatusMenu.h"

#include <QMenu>
#include <algorithm>
#include <cmath>

namespace tallyglass {
namespace {

constexpr std::chrono::seconds countdownInterval{30};
// A notification at or below this remaining percent is marked critical.
constexpr std::int64_t criticalPercent = 5;

std::chrono::milliseconds toMilliseconds(double seconds)
{
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

} // namespace

AppDelegate::AppDelegate(Collaborators collaborators)
    : c_(std::move(collaborators))
{
}

AppDelegate::~AppDelegate()
{
    // The client may outlive this object for a moment while it winds down.
    c_.client->onSnapshot = nullptr;
    c_.client->onStatus = nullptr;
    c_.statusItem->onClick = nullptr;
    c_.statusItem->onMenuAboutToShow = nullptr;
}

void AppDelegate::applicationDidFinishLaunching()
{
    show(StatusTexts::launching());
    c_.statusItem->onClick = [this](StatusClick click) { statusItemClicked(click); };
    c_.statusItem->onMenuAboutToShow = [this](QMenu& menu) { makeMenu(menu); };

    if (c_.history) {
        // Readings that arrive before the stored ones are newer than all of them.
        c_.history->load(c_.clock->now() - recentSeconds, [this](std::vector<UsageSnapshot> stored) {
            stored.insert(stored.end(), recent_.begin(), recent_.end());
            recent_ = std::move(stored);
        });
    }
    c_.client->onSnapshot = [this](const UsageSnapshot& snapshot) { receiveSnapshot(snapshot); };
    c_.client->onStatus = [this](const std::optional<QString>& status) { receiveStatus(status); };
    c_.client->start();

    configureRefreshTimer();

    countdownTimer_.reset();
    countdownTimer_ = c_.makeCountdownTimer();
    countdownTimer_->onTick = [this] {
        if (AppSettings::timeDisplayMode(*c_.settings) == TimeDisplayMode::remaining)
            updateTitle();
    };
    countdownTimer_->start(countdownInterval);
}

void AppDelegate::applicationWillTerminate()
{
    if (timer_)
        timer_->stop();
    if (countdownTimer_)
        countdownTimer_->stop();
    c_.client->stop();
}

void AppDelegate::receiveSnapshot(const UsageSnapshot& snapshot)
{
    snapshot_ = snapshot;
    statusMessage_.reset();
    updateTitle();
    if (c_.history)
        c_.history->record(snapshot);
    recent_.push_back(snapshot);
    const double oldest = c_.clock->now() - recentSeconds;
    recent_.erase(recent_.begin(), std::ranges::find_if(recent_, [oldest](const UsageSnapshot& r) {
                      return r.receivedAt >= oldest;
                  }));
    checkUsageAlerts(snapshot);
}

void AppDelegate::checkUsageAlerts(const UsageSnapshot& snapshot)
{
    const int threshold = AppSettings::usageAlertPercent(*c_.settings);
    if (!c_.notifier || threshold == SettingsKeys::usageAlertPercent.offPercent)
        return;
    for (UsageWindowKind kind : {UsageWindowKind::fiveHour, UsageWindowKind::week}) {
        const std::optional<UsageWindow>& window = windowOf(snapshot, kind);
        std::optional<Alerted>& alerted = alerted_[kind == UsageWindowKind::fiveHour ? 0 : 1];
        if (!window)
            continue;
        const std::int64_t remaining = window->remainingPercent();
        if (remaining > threshold) {
            alerted.reset(); // climbed back above: armed again
            continue;
        }
        if (alerted && alerted->resetsAt == window->resetsAt && alerted->percent == threshold)
            continue;
        alerted = Alerted{window->resetsAt, threshold};
        const QString name = kind == UsageWindowKind::fiveHour ? QStringLiteral("5시간") : QStringLiteral("주간");
        c_.notifier->notify(kind, Notification{
                                      QStringLiteral("Codex %1 한도 %2% 남음").arg(name).arg(remaining),
                                      StatusMenu::timeLine(kind, *window, AppSettings::timeDisplayMode(*c_.settings),
                                                           timeContext()),
                                      remaining <= criticalPercent,
                                  });
    }
}

void AppDelegate::receiveStatus(const std::optional<QString>& status)
{
    statusMessage_ = status;
    if (status)
        snapshot_.reset();
    updateTitle();
}

void AppDelegate::configureRefreshTimer()
{
    if (timer_) {
        timer_->stop();
        timer_.reset();
    }
    const double interval = refreshInterval();
    if (interval < SettingsKeys::refreshInterval.minimumSeconds)
        return;
    timer_ = c_.makeRefreshTimer();
    timer_->onTick = [this] { c_.client->refresh(); };
    timer_->start(toMilliseconds(interval));
}

double AppDelegate::refreshInterval() const
{
    return AppSettings::refreshInterval(*c_.settings);
}

TimeContext AppDelegate::timeContext() const
{
    return TimeContext{c_.clock->now(), c_.clock->timeZone()};
}

void AppDelegate::updateTitle()
{
    show(StatusTexts::make(snapshot_, statusMessage_, AppSettings::timeDisplayMode(*c_.settings), timeContext()));
}

void AppDelegate::show(const StatusTexts& texts)
{
    c_.statusItem->setTitle(texts.title);
    c_.statusItem->setToolTip(texts.toolTip);
    c_.statusItem->setBadge(texts.badge, texts.marked);
}

void AppDelegate::statusItemClicked(StatusClick click)
{
    // A right click opens the menu, which the tray shows itself and fills through
    // makeMenu; only a left click refreshes.
    if (click == StatusClick::leftUp)
        refreshNow();
}

void AppDelegate::refreshNow()
{
    show(StatusTexts::refreshing(c_.statusItem->toolTip()));
    c_.client->refresh();
}

void AppDelegate::makeMenu(QMenu& menu)
{
    StatusMenuState state;
    state.snapshot = snapshot_;
    state.statusMessage = statusMessage_;
    state.refreshInterval = refreshInterval();
    state.mode = AppSettings::timeDisplayMode(*c_.settings);
    state.launchAtLogin = c_.loginItem->isRegistered();
    state.time = timeContext();
    state.usageAlertPercent = AppSettings::usageAlertPercent(*c_.settings);
    if (const auto e = Forecast::exhaustion(recent_, UsageWindowKind::fiveHour, state.time.now))
        state.fiveHourExhaustion = e->at;
    if (const auto e = Forecast::exhaustion(recent_, UsageWindowKind::week, state.time.now))
        state.weekExhaustion = e->at;

    StatusMenuActions actions;
    actions.showHistory = [this] { showHistory(); };
    actions.selectUsageAlert = [this](const QVariant& percent) { selectUsageAlert(percent); };
    actions.refreshNow = [this] { refreshNow(); };
    actions.selectRefreshInterval = [this](const QVariant& seconds) { selectRefreshInterval(seconds); };
    actions.setCustomRefreshInterval = [this] { setCustomRefreshInterval(); };
    actions.selectTimeDisplayMode = [this](const QVariant& mode) { selectTimeDisplayMode(mode); };
    actions.toggleLaunchAtLogin = [this] { toggleLaunchAtLogin(); };
    actions.openCodex = [this] { openCodex(); };
    actions.quit = [this] { quit(); };
    StatusMenu::fill(menu, state, actions, this);
}

void AppDelegate::selectRefreshInterval(const QVariant& seconds)
{
    if (!isNumericVariant(seconds))
        return;
    AppSettings::setRefreshInterval(*c_.settings, seconds.toDouble());
    configureRefreshTimer();
}

void AppDelegate::selectTimeDisplayMode(const QVariant& rawMode)
{
    if (rawMode.metaType().id() != QMetaType::QString)
        return;
    const std::optional<TimeDisplayMode> mode = timeDisplayModeFromRaw(rawMode.toString());
    if (!mode)
        return;
    AppSettings::setTimeDisplayMode(*c_.settings, *mode);
    updateTitle();
}

void AppDelegate::setCustomRefreshInterval()
{
    constexpr RefreshIntervalSetting bounds = SettingsKeys::refreshInterval;
    const double current = refreshInterval();
    const QString prefill = current >= bounds.minimumSeconds
        ? QString::number(static_cast<long long>(std::trunc(current)))
        : QString::number(bounds.defaultSeconds);
    const std::optional<QString> typed = c_.intervalDialog->run(prefill);
    if (!typed)
        return;
    if (const std::optional<double> seconds = parseCustomRefreshInterval(*typed)) {
        AppSettings::setRefreshInterval(*c_.settings, *seconds);
        configureRefreshTimer();
        return;
    }
    statusMessage_ =
        QStringLiteral("자동 갱신은 %1~%2초 사이여야 함").arg(bounds.minimumSeconds).arg(bounds.maximumSeconds);
    updateTitle();
}

void AppDelegate::toggleLaunchAtLogin()
{
    const bool ok = c_.loginItem->isRegistered() ? c_.loginItem->unregisterItem() : c_.loginItem->registerItem();
    if (!ok)
        statusMessage_ = QStringLiteral("로그인 실행 설정 실패");
}

void AppDelegate::showHistory()
{
    if (c_.showHistory)
        c_.showHistory(recent_, timeContext());
}

void AppDelegate::selectUsageAlert(const QVariant& percent)
{
    if (!isNumericVariant(percent) || !SettingsKeys::usageAlertPercent.isChoice(percent.toInt()))
        return;
    AppSettings::setUsageAlertPercent(*c_.settings, percent.toInt());
}

void AppDelegate::openCodex()
{
    c_.openUrl(codexUrl);
}

void AppDelegate::quit()
{
    c_.terminate();
}

} // namespace tallyglass
