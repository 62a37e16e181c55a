#pragma once
// Turns the result of an account/rateLimits/read answer into a snapshot. Pure; any thread.

#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

#include <QJsonObject>
#include <optional>

namespace tallyglass {

class UsagePayloadParser {
public:
    UsagePayloadParser() = delete;

    // `now` becomes the snapshot's receivedAt; the first overload uses the current time.
    static std::optional<UsageSnapshot> parse(const QJsonObject& result);
    static std::optional<UsageSnapshot> parse(const QJsonObject& result, double now);
    // Everything beyond the codex bucket's windows; empty parts where the answer has none.
    static UsageAllowance parseAllowance(const QJsonObject& result);
};

} // namespace tallyglass
