#pragma once
// How reset times are shown: as a clock time or as a countdown. Plain value; any thread.

#include <QString>
#include <optional>

namespace tallyglass {

enum class TimeDisplayMode { resetAt, remaining };

inline QString rawValue(TimeDisplayMode mode)
{
    return mode == TimeDisplayMode::remaining ? QStringLiteral("remaining") : QStringLiteral("resetAt");
}

// A mode only from one of the two raw values, matched exactly (case-sensitive).
inline std::optional<TimeDisplayMode> timeDisplayModeFromRaw(const QString& text)
{
    if (text == QLatin1String("resetAt"))
        return TimeDisplayMode::resetAt;
    if (text == QLatin1String("remaining"))
        return TimeDisplayMode::remaining;
    return std::nullopt;
}

} // namespace tallyglass
