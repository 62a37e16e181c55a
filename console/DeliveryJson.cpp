#include "console/DeliveryJson.h"

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

QJsonObject DeliveryJson::snapshot(const UsageSnapshot& snapshot)
{
    return QJsonObject{{"snapshot",
                        QJsonObject{
                            {"fiveHour", window(snapshot.fiveHour)},
                            {"week", window(snapshot.week)},
                            {"receivedAt", seconds(snapshot.receivedAt)},
                        }}};
}

QJsonObject DeliveryJson::status(const std::optional<QString>& text)
{
    return QJsonObject{{"status", text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null)}};
}

QByteArray DeliveryJson::line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace tallyglass
