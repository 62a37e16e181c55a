#include "texts/AllowanceTexts.h"

#include "texts/StatusTexts.h"

#include <QStringView>

namespace tallyglass {

namespace {

// Why usage is blocked, by the wire value of rateLimitReachedType; an unknown value as sent.
QString reachedText(const QString& reached)
{
    static const std::pair<QStringView, QStringView> known[] = {
        {u"rate_limit_reached", u"사용 한도"},
        {u"workspace_owner_credits_depleted", u"워크스페이스 크레딧 소진"},
        {u"workspace_member_credits_depleted", u"워크스페이스 크레딧 소진 (관리자에게 문의)"},
        {u"workspace_owner_usage_limit_reached", u"워크스페이스 사용 한도"},
        {u"workspace_member_usage_limit_reached", u"워크스페이스 사용 한도 (관리자에게 문의)"},
    };
    for (const auto& [wire, text] : known) {
        if (reached == wire)
            return text.toString();
    }
    return reached;
}

bool isAvailable(const ResetCredit& credit)
{
    return !credit.id.isEmpty() && (!credit.status || *credit.status == u"available");
}

} // namespace

AllowanceLines AllowanceLines::make(const UsageAllowance& allowance, TimeDisplayMode mode, const TimeContext& context)
{
    AllowanceLines result;
    for (const LimitBucket& bucket : allowance.otherLimits) {
        // The same lines as the main windows, made by the same function.
        const UsageLines lines = UsageLines::make(UsageSnapshot{bucket.fiveHour, bucket.week, context.now}, mode, context);
        result.otherLimits.push_back({bucket.name, lines.fiveHour + lines.week});
    }

    if (const auto& credits = allowance.credits) {
        if (credits->unlimited)
            result.lines << QStringLiteral("크레딧: 무제한");
        else if (credits->hasCredits && credits->balance)
            result.lines << QStringLiteral("크레딧 잔액: ") + *credits->balance;
    }
    if (allowance.reached)
        result.lines << QStringLiteral("한도 도달: ") + reachedText(*allowance.reached);
    if (const auto& spend = allowance.spendControl) {
        const QString label = QStringLiteral("지출 한도");
        if (spend->remainingPercent)
            result.lines << QStringLiteral("지출 한도 남음: %1%").arg(*spend->remainingPercent);
        if (spend->resetsAt)
            result.lines << TimeTexts::timeMenuText(label, spend->resetsAt, TimeFormat::week, mode, context);
    }
    if (const auto& resets = allowance.resetCredits; resets && resets->availableCount >= 1) {
        result.lines << QStringLiteral("한도 리셋 %1개").arg(resets->availableCount);
        if (const auto soonest = soonestCredit(allowance); soonest && soonest->expiresAt)
            result.lines << QStringLiteral("한도 리셋 만료까지: ")
                    + TimeTexts::remainingTime(*soonest->expiresAt, false, context.now);
        result.canUseReset = true;
    }
    return result;
}

QString AllowanceLines::useResetCommand()
{
    return QStringLiteral("한도 리셋 사용…");
}

std::optional<ResetCredit> AllowanceLines::soonestCredit(const UsageAllowance& allowance)
{
    if (!allowance.resetCredits || !allowance.resetCredits->credits)
        return std::nullopt;
    std::optional<ResetCredit> soonest;
    for (const ResetCredit& credit : *allowance.resetCredits->credits) {
        if (!isAvailable(credit))
            continue;
        // A credit that never expires comes after every one that does.
        const bool sooner = !soonest
            || (credit.expiresAt && (!soonest->expiresAt || *credit.expiresAt < *soonest->expiresAt));
        if (sooner)
            soonest = credit;
    }
    return soonest;
}

} // namespace tallyglass
