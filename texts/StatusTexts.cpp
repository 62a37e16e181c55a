#include "texts/StatusTexts.h"

namespace tallyglass {

StatusTexts StatusTexts::make(const std::optional<UsageSnapshot>& snapshot,
                              const std::optional<QString>& statusMessage, TimeDisplayMode mode,
                              const TimeContext& context)
{
    const QString statusBadge = QStringLiteral("!");
    if (snapshot && snapshot->fiveHour) {
        const UsageWindow& window = *snapshot->fiveHour;
        const QString percent = QString::number(window.remainingPercent());
        const QString time = TimeTexts::displayedTime(window.resetsAt, TimeFormat::clock, mode, context);
        QString title = percent + QStringLiteral("% (") + time + QLatin1Char(')');
        if (statusMessage)
            return {title + QLatin1Char(' ') + statusBadge, *statusMessage, percent, true};
        return {title, QStringLiteral("5시간 한도 남음"), percent};
    }
    if (statusMessage)
        return {statusBadge, *statusMessage, statusBadge};
    return {QStringLiteral("--% (--:--)"),
            snapshot ? QStringLiteral("조회 응답에 5시간 데이터 없음") : QStringLiteral("5시간 사용량 데이터 없음"),
            noDataBadge()};
}

StatusTexts StatusTexts::launching()
{
    const QString mark = QStringLiteral("…");
    return {mark, QStringLiteral("Codex 사용량"), mark};
}

StatusTexts StatusTexts::refreshing(const QString& toolTip)
{
    const QString mark = QStringLiteral("↻");
    return {mark, toolTip, mark};
}

QString StatusTexts::noDataBadge()
{
    return QStringLiteral("--");
}

UsageLines UsageLines::make(const std::optional<UsageSnapshot>& snapshot, TimeDisplayMode mode,
                            const TimeContext& context)
{
    UsageLines lines;
    if (snapshot && snapshot->fiveHour) {
        lines.fiveHour = {QStringLiteral("5h 남음: %1%").arg(snapshot->fiveHour->remainingPercent()),
                          TimeTexts::timeMenuText(QStringLiteral("5h"), snapshot->fiveHour->resetsAt,
                                                  TimeFormat::clock, mode, context)};
    } else if (snapshot) {
        lines.fiveHour = {QStringLiteral("5h: 조회 응답에 5시간 데이터 없음")};
    } else {
        lines.fiveHour = {QStringLiteral("5h: 데이터 없음")};
    }
    if (snapshot && snapshot->week) {
        lines.week = {QStringLiteral("Week 남음: %1%").arg(snapshot->week->remainingPercent()),
                      TimeTexts::timeMenuText(QStringLiteral("Week"), snapshot->week->resetsAt, TimeFormat::week,
                                              mode, context)};
    } else {
        lines.week = {QStringLiteral("Week: 데이터 없음")};
    }
    if (snapshot)
        lines.checked = QStringLiteral("확인: ") + TimeTexts::formatTime(snapshot->receivedAt, TimeFormat::clock, context.zone);
    return lines;
}

} // namespace tallyglass
