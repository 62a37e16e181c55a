#pragma once
// JSON lines for the deliveries of the client: status texts and snapshots. Pure; any thread.

#include "usage/UsageSnapshot.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>

namespace tallyglass {

class DeliveryJson {
public:
    DeliveryJson() = delete;

    // null, or {"usedPercent","remainingPercent","durationMinutes","resetsAt"}.
    static QJsonValue window(const std::optional<UsageWindow>& window);
    // {"snapshot":{"fiveHour":W,"week":W,"receivedAt":T}}
    static QJsonObject snapshot(const UsageSnapshot& snapshot);
    // {"status":"<text>"} or {"status":null}
    static QJsonObject status(const std::optional<QString>& text);

    // Compact UTF-8 JSON followed by a line feed.
    static QByteArray line(const QJsonObject& object);
};

} // namespace tallyglass
