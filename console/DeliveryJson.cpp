#include "console/DeliveryJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>

namespace tallyglass {

namespace {

// JSON has no NaN or infinity; a time that is not finite is no time at all.
QJsonValue seconds(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

QJsonValue seconds(const std::optional<double>& value)
{
    return value ? seconds(*value) : QJsonValue(QJsonValue::Null);
}

QJsonValue text(const std::optional<QString>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

// The allowance's known parts, added to a snapshot object.
void addAllowance(QJsonObject& out, const UsageAllowance& allowance)
{
    if (!allowance.otherLimits.empty()) {
        QJsonArray limits;
        for (const LimitBucket& limit : allowance.otherLimits)
            limits.append(QJsonObject{{"id", limit.id},
                                      {"name", limit.name},
                                      {"fiveHour", DeliveryJson::window(limit.fiveHour)},
                                      {"week", DeliveryJson::window(limit.week)}});
        out.insert("limits", limits);
    }
    if (const std::optional<Credits>& credits = allowance.credits)
        out.insert("credits", QJsonObject{{"hasCredits", credits->hasCredits},
                                          {"unlimited", credits->unlimited},
                                          {"balance", text(credits->balance)}});
    if (allowance.plan)
        out.insert("plan", *allowance.plan);
    if (allowance.reached)
        out.insert("reached", *allowance.reached);
    if (const std::optional<SpendControl>& spend = allowance.spendControl)
        out.insert("spendControl",
                   QJsonObject{{"remainingPercent",
                                spend->remainingPercent ? QJsonValue(qint64(*spend->remainingPercent)) : QJsonValue()},
                               {"resetsAt", seconds(spend->resetsAt)}});
    if (const std::optional<ResetCredits>& resets = allowance.resetCredits) {
        QJsonObject object{{"available", qint64(resets->availableCount)}};
        if (resets->credits) {
            QJsonArray credits;
            for (const ResetCredit& credit : *resets->credits)
                credits.append(QJsonObject{{"id", credit.id}, {"expiresAt", seconds(credit.expiresAt)}});
            object.insert("credits", credits);
        }
        out.insert("resetCredits", object);
    }
}

} // namespace

QJsonValue DeliveryJson::window(const std::optional<UsageWindow>& window)
{
    if (!window)
        return QJsonValue::Null;
    return QJsonObject{
        {"usedPercent", qint64(window->usedPercent)},
        {"remainingPercent", qint64(window->remainingPercent())},
        {"durationMinutes",
         window->durationMinutes ? QJsonValue(qint64(*window->durationMinutes)) : QJsonValue(QJsonValue::Null)},
        {"resetsAt", seconds(window->resetsAt)},
    };
}

QJsonObject DeliveryJson::snapshot(const UsageSnapshot& snapshot, const UsageAllowance& allowance)
{
    QJsonObject reading{
        {"fiveHour", window(snapshot.fiveHour)},
        {"week", window(snapshot.week)},
        {"receivedAt", seconds(snapshot.receivedAt)},
    };
    addAllowance(reading, allowance);
    return QJsonObject{{"snapshot", reading}};
}

QJsonObject DeliveryJson::status(const std::optional<QString>& text)
{
    return QJsonObject{{"status", text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null)}};
}

QJsonObject DeliveryJson::resetOutcome(const QString& outcome)
{
    return QJsonObject{{"resetOutcome", outcome}};
}

QByteArray DeliveryJson::line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace tallyglass
