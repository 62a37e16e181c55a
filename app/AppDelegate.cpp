#include "app/AppDelegate.h"

#include "app/AppSettings.h"
#include "app/NumberParsing.h"
#include "app/SettingsKeys.h"
#include "app/StatusMenu.h"
#include "texts/AllowanceTexts.h"

#include <QMenu>
#include <cmath>

namespace tallyglass {
namespace {

constexpr std::chrono::seconds countdownInterval{30};

// Spending a banked reset is not part of a reading: its statuses sit beside the reading
// shown; every other status ends or replaces that reading.
bool aboutResetCredit(StatusKind kind)
{
    switch (kind) {
    case StatusKind::resetUnderway:
    case StatusKind::resetDone:
    case StatusKind::resetAlreadyRedeemed:
    case StatusKind::resetNothingToReset:
    case StatusKind::resetNoCredit:
    case StatusKind::resetUnsupported:
    case StatusKind::resetFailed:
    case StatusKind::resetNoAnswer:
        return true;
    default:
        return false;
    }
}

std::chrono::milliseconds toMilliseconds(double seconds)
{
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

} // namespace

AppDelegate::AppDelegate(Collaborators collaborators)
    : c_(std::move(collaborators))
    , alertFile_(c_.stateFolder.isEmpty() ? QString() : c_.stateFolder + QStringLiteral("/alerts.json"))
{
}

AppDelegate::~AppDelegate()
{
    // The client may outlive this object for a moment while it winds down.
    c_.client->onSnapshot = nullptr;
    c_.client->onAllowance = nullptr;
    c_.client->onStatus = nullptr;
    c_.statusItem->onClick = nullptr;
    c_.statusItem->onMenuAboutToShow = nullptr;
    if (c_.notifier)
        c_.notifier->onAction = nullptr;
}

void AppDelegate::applicationDidFinishLaunching()
{
    show(StatusTexts::launching());
    c_.statusItem->onClick = [this](StatusClick click) { statusItemClicked(click); };
    c_.statusItem->onMenuAboutToShow = [this](QMenu& menu) { makeMenu(menu); };

    if (c_.history)
        c_.history->load(c_.clock->now() - RecentReadings::keptSeconds,
                         [this](std::vector<UsageSnapshot> stored) { recent_.addStored(std::move(stored)); });
    if (c_.notifier) {
        alerts_ = UsageAlerts(alertFile_.read());
        c_.notifier->onAction = [this] {
            if (allowance_)
                useReset();
            else if (announced_)
                confirmReset(announced_->first, announced_->second);
        };
    }
    c_.client->onSnapshot = [this](const UsageSnapshot& snapshot) { receiveSnapshot(snapshot); };
    c_.client->onAllowance = [this](const UsageAllowance& allowance) { arrivingAllowance_ = allowance; };
    c_.client->onStatus = [this](const std::optional<ClientStatus>& status) { receiveStatus(status); };
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
    // An older Codex CLI says nothing beyond the windows: then there is no allowance.
    allowance_ = std::exchange(arrivingAllowance_, std::nullopt);
    statusMessage_.reset();
    updateTitle();
    if (c_.history)
        c_.history->record(snapshot, allowance_ ? allowance_->otherLimits : std::vector<LimitBucket>());
    recent_.add(snapshot, c_.clock->now());
    checkUsageAlerts(snapshot);
}

void AppDelegate::checkUsageAlerts(const UsageSnapshot& snapshot)
{
    if (!c_.notifier)
        return;
    const AlertState before = alerts_.state();
    for (const Alert& alert : alerts_.check(snapshot, allowance_, AppSettings::usageAlertPercent(*c_.settings),
                                            AppSettings::timeDisplayMode(*c_.settings), timeContext())) {
        if (alert.notification.action && allowance_)
            announced_ = std::pair(snapshot, *allowance_);
        c_.notifier->notify(alert.topic, alert.notification);
    }
    if (alerts_.state() != before)
        alertFile_.write(alerts_.state());
}

void AppDelegate::receiveStatus(const std::optional<ClientStatus>& status)
{
    statusMessage_ = status ? std::optional<QString>(status->text) : std::nullopt;
    if (status && !aboutResetCredit(status->kind)) {
        snapshot_.reset();
        allowance_.reset();
        arrivingAllowance_.reset();
    }
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
    if (const auto e = Forecast::exhaustion(recent_.readings(), UsageWindowKind::fiveHour, state.time.now))
        state.fiveHourExhaustion = e->at;
    if (const auto e = Forecast::exhaustion(recent_.readings(), UsageWindowKind::week, state.time.now))
        state.weekExhaustion = e->at;
    if (allowance_)
        state.allowance = AllowanceLines::make(*allowance_, state.mode, state.time);

    StatusMenuActions actions;
    actions.showHistory = [this] { showHistory(); };
    // The reading the menu shows, whatever arrives before the click: a refresh under way
    // clears the display but not what the user chose from.
    if (allowance_)
        actions.useReset = [this, snapshot = snapshot_, allowance = *allowance_] { confirmReset(snapshot, allowance); };
    actions.selectUsageAlert = [this](int percent) { selectUsageAlert(percent); };
    actions.refreshNow = [this] { refreshNow(); };
    actions.selectRefreshInterval = [this](double seconds) { selectRefreshInterval(seconds); };
    actions.setCustomRefreshInterval = [this] { setCustomRefreshInterval(); };
    actions.selectTimeDisplayMode = [this](TimeDisplayMode mode) { selectTimeDisplayMode(mode); };
    actions.toggleLaunchAtLogin = [this] { toggleLaunchAtLogin(); };
    actions.openCodex = [this] { openCodex(); };
    actions.quit = [this] { quit(); };
    StatusMenu::fill(menu, state, actions, this);
}

void AppDelegate::selectRefreshInterval(double seconds)
{
    AppSettings::setRefreshInterval(*c_.settings, seconds);
    configureRefreshTimer();
}

void AppDelegate::selectTimeDisplayMode(TimeDisplayMode mode)
{
    AppSettings::setTimeDisplayMode(*c_.settings, mode);
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
        c_.showHistory(std::vector<UsageSnapshot>(recent_.readings().begin(), recent_.readings().end()),
                       timeContext());
}

void AppDelegate::selectUsageAlert(int percent)
{
    if (SettingsKeys::usageAlertPercent.isChoice(percent))
        AppSettings::setUsageAlertPercent(*c_.settings, percent);
}

void AppDelegate::useReset()
{
    if (allowance_)
        confirmReset(snapshot_, *allowance_);
}

void AppDelegate::confirmReset(const std::optional<UsageSnapshot>& snapshot, const UsageAllowance& allowance)
{
    if (!allowance.resetCredits || allowance.resetCredits->availableCount < 1)
        return;
    std::optional<QString> creditId;
    if (const std::optional<ResetCredit> credit = AllowanceLines::soonestCredit(allowance))
        creditId = credit->id;
    const UsageLines lines = UsageLines::make(snapshot, AppSettings::timeDisplayMode(*c_.settings), timeContext());
    if (c_.resetDialog->confirm({lines.fiveHour.value(0), lines.week.value(0)},
                                allowance.resetCredits->availableCount))
        // Without a state folder (no home) no key can be kept: the client then refuses.
        c_.client->useResetCredit(
            c_.stateFolder.isEmpty() ? QString() : c_.stateFolder + QStringLiteral("/pending-reset"), creditId);
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
