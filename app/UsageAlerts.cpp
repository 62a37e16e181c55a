#include "app/UsageAlerts.h"

#include "app/StatusMenu.h"
#include "texts/AllowanceTexts.h"

#include <algorithm>

namespace tallyglass {

std::vector<Alert> UsageAlerts::check(const UsageSnapshot& snapshot, const std::optional<UsageAllowance>& allowance,
                                      int threshold, TimeDisplayMode mode, const TimeContext& time)
{
    const bool canUseReset = allowance && allowance->resetCredits && allowance->resetCredits->availableCount >= 1;
    std::vector<Alert> alerts;
    for (UsageWindowKind kind : {UsageWindowKind::fiveHour, UsageWindowKind::week})
        if (auto alert = checkWindow(kind, snapshot, canUseReset, threshold, mode, time))
            alerts.push_back(std::move(*alert));
    if (allowance)
        if (auto alert = checkExpiry(*allowance, time.now))
            alerts.push_back(std::move(*alert));
    return alerts;
}

std::optional<Alert> UsageAlerts::checkWindow(UsageWindowKind kind, const UsageSnapshot& snapshot, bool canUseReset,
                                              int threshold, TimeDisplayMode mode, const TimeContext& time)
{
    const std::optional<UsageWindow>& window = windowOf(snapshot, kind);
    std::optional<AlertState::Window>& alerted = kind == UsageWindowKind::fiveHour ? state_.fiveHour : state_.week;
    if (threshold == 0 || !window)
        return std::nullopt;
    const std::int64_t remaining = window->remainingPercent();
    if (remaining > threshold) {
        alerted.reset(); // climbed back above: armed again
        return std::nullopt;
    }
    const AlertState::Window now{window->resetsAt, threshold};
    if (alerted == now)
        return std::nullopt;
    alerted = now;
    const bool fiveHour = kind == UsageWindowKind::fiveHour;
    Notification notification{
        QStringLiteral("Codex %1 한도 %2% 남음")
            .arg(fiveHour ? QStringLiteral("5시간") : QStringLiteral("주간"))
            .arg(remaining),
        StatusMenu::timeLine(kind, *window, mode, time),
        remaining <= criticalPercent,
        std::nullopt,
    };
    if (canUseReset)
        notification.action = AllowanceLines::useResetCommand();
    return Alert{fiveHour ? NotificationTopic::fiveHour : NotificationTopic::week, std::move(notification)};
}

std::optional<Alert> UsageAlerts::checkExpiry(const UsageAllowance& allowance, double now)
{
    // Credits no longer listed were spent or have expired; their ids need no keeping.
    if (allowance.resetCredits && allowance.resetCredits->credits) {
        const std::vector<ResetCredit>& listed = *allowance.resetCredits->credits;
        std::erase_if(state_.expiringCredits, [&listed](const QString& id) {
            return std::ranges::none_of(listed, [&id](const ResetCredit& c) { return c.id == id; });
        });
    }
    const std::optional<ResetCredit> soonest = AllowanceLines::soonestCredit(allowance);
    if (!soonest || !soonest->expiresAt || *soonest->expiresAt <= now
        || *soonest->expiresAt - now > expiryNoticeSeconds
        || std::ranges::find(state_.expiringCredits, soonest->id) != state_.expiringCredits.end())
        return std::nullopt;
    state_.expiringCredits.push_back(soonest->id);
    return Alert{NotificationTopic::resetExpiry,
                 Notification{
                     QStringLiteral("Codex 한도 리셋 만료 임박"),
                     QStringLiteral("한도 리셋 1개가 %1 뒤 만료됨")
                         .arg(TimeTexts::remainingTime(*soonest->expiresAt, false, now)),
                     false,
                     AllowanceLines::useResetCommand(),
                 }};
}

} // namespace tallyglass
