#pragma once
// JSON lines for the deliveries of the client: status texts and snapshots. Pure; any thread.

#include "usage/UsageAllowance.h"
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
    // {"snapshot":{"fiveHour":W,"week":W,"receivedAt":T}}, and what the allowance knows:
    // "limits", "credits", "plan", "reached", "spendControl", "resetCredits".
    static QJsonObject snapshot(const UsageSnapshot& snapshot, const UsageAllowance& allowance = {});
    // {"status":"<text>"} or {"status":null}
    static QJsonObject status(const std::optional<QString>& text);
    // {"resetOutcome":"<outcome>"}, the outcome as the Codex CLI words it ("reset", ...).
    static QJsonObject resetOutcome(const QString& outcome);

    // Compact UTF-8 JSON followed by a line feed.
    static QByteArray line(const QJsonObject& object);
};

} // namespace tallyglass
