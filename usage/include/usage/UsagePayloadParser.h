#pragma once
// Turns the result of an account/rateLimits/read answer into a snapshot. Pure; any thread.

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
};

} // namespace tallyglass
