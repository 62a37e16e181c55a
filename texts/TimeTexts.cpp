#include "texts/TimeTexts.h"

#include <QDateTime>
#include <QLocale>
#include <cmath>

namespace tallyglass {

QString TimeTexts::formatTime(double time, TimeFormat format, const QTimeZone& zone)
{
    if (!std::isfinite(time) || time < earliestTime || time > latestTime)
        return QStringLiteral("--:--");
    const auto msecs = static_cast<qint64>(std::floor(time * 1000.0));
    const QDateTime moment = QDateTime::fromMSecsSinceEpoch(msecs, zone.isValid() ? zone : QTimeZone::utc());
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.toString(moment, format == TimeFormat::clock ? QStringLiteral("h:mm AP")
                                                                 : QStringLiteral("ddd h:mm AP"));
}

QString TimeTexts::remainingTime(double time, bool compact, double now)
{
    const double minutesLeft = std::ceil((time - now) / 60.0);
    long long n = 0;
    if (minutesLeft >= double(maxMinutes))
        n = maxMinutes;
    else if (minutesLeft > 0) // false for NaN too
        n = static_cast<long long>(minutesLeft);

    const long long days = n / 1440;
    const long long hours = (n % 1440) / 60;
    const long long minutes = n % 60;
    if (n >= 1440)
        return compact ? QStringLiteral("%1d %2h").arg(days).arg(hours)
                       : QStringLiteral("%1일 %2시간").arg(days).arg(hours);
    if (n >= 60)
        return compact ? QStringLiteral("%1h %2m").arg(hours).arg(minutes)
                       : QStringLiteral("%1시간 %2분").arg(hours).arg(minutes);
    return compact ? QStringLiteral("%1m").arg(minutes) : QStringLiteral("%1분").arg(minutes);
}

QString TimeTexts::displayedTime(std::optional<double> time, TimeFormat format, TimeDisplayMode mode,
                                 const TimeContext& context)
{
    if (!time)
        return QStringLiteral("--:--");
    if (mode == TimeDisplayMode::remaining)
        return remainingTime(*time, true, context.now);
    return formatTime(*time, format, context.zone);
}

QString TimeTexts::timeMenuText(const QString& label, std::optional<double> time, TimeFormat format,
                                TimeDisplayMode mode, const TimeContext& context)
{
    if (!time)
        return label + QStringLiteral(": 데이터 없음");
    if (mode == TimeDisplayMode::remaining)
        return label + QStringLiteral(" 남은 시간: ") + remainingTime(*time, false, context.now);
    return label + QStringLiteral(" 갱신: ") + formatTime(*time, format, context.zone);
}

QString TimeTexts::exhaustionMenuText(const QString& label, double time, TimeFormat format, TimeDisplayMode mode,
                                     const TimeContext& context)
{
    if (mode == TimeDisplayMode::remaining)
        return label + QStringLiteral(" 소진까지: ") + remainingTime(time, false, context.now);
    return label + QStringLiteral(" 소진 예상: ") + formatTime(time, format, context.zone);
}

} // namespace tallyglass
