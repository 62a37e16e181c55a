#include "app/StatusTexts.h"

namespace tallyglass {

StatusTexts StatusTexts::make(const std::optional<UsageSnapshot>& snapshot,
                              const std::optional<QString>& statusMessage, TimeDisplayMode mode,
                              const TimeContext& context)
{
    if (snapshot && snapshot->fiveHour) {
        const UsageWindow& window = *snapshot->fiveHour;
        const QString time = TimeTexts::displayedTime(window.resetsAt, TimeFormat::clock, mode, context);
        QString title = QString::number(window.remainingPercent()) + QStringLiteral("% (") + time + QLatin1Char(')');
        if (statusMessage)
            return {title + QStringLiteral(" !"), *statusMessage};
        return {title, QStringLiteral("5시간 한도 남음")};
    }
    if (statusMessage)
        return {QStringLiteral("!"), *statusMessage};
    return {QStringLiteral("--% (--:--)"),
            snapshot ? QStringLiteral("조회 응답에 5시간 데이터 없음") : QStringLiteral("5시간 사용량 데이터 없음")};
}

} // namespace tallyglass
