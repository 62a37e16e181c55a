#include "usage/UsagePayloadParser.h"

#include "usage/JsonInteger.h"

#include <QJsonValue>
#include <algorithm>
#include <chrono>
#include <limits>

namespace tallyglass {

namespace {

constexpr std::int64_t fiveHourMinutes = 300;
constexpr std::int64_t weekMinutes = 10080;

// Base-10 text: one optional sign, then one or more ASCII digits, nothing else,
// and the value must fit int64.
std::optional<std::int64_t> textToInt64(const QString& text)
{
    const qsizetype length = text.size();
    qsizetype i = 0;
    bool negative = false;
    if (i < length && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == length)
        return std::nullopt;

    // Accumulate the magnitude; a negative value may reach one past INT64_MAX.
    const std::uint64_t limit = negative
        ? std::uint64_t(std::numeric_limits<std::int64_t>::max()) + 1
        : std::uint64_t(std::numeric_limits<std::int64_t>::max());
    std::uint64_t magnitude = 0;
    for (; i < length; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const unsigned digit = unsigned(c - u'0');
        if (magnitude > (limit - digit) / 10)
            return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    if (negative)
        return magnitude == limit ? std::numeric_limits<std::int64_t>::min() : -std::int64_t(magnitude);
    return std::int64_t(magnitude);
}

std::optional<std::int64_t> readInteger(const QJsonObject& object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (value.isDouble())
        return jsonNumberToInt64(value);
    if (value.isString())
        return textToInt64(value.toString());
    return std::nullopt;
}

QJsonObject limitsOf(const QJsonObject& result)
{
    const QJsonValue byId = result.value(QLatin1StringView("rateLimitsByLimitId"));
    if (byId.isObject()) {
        const QJsonValue codex = byId.toObject().value(QLatin1StringView("codex"));
        if (codex.isObject())
            return codex.toObject();
    }
    const QJsonValue rateLimits = result.value(QLatin1StringView("rateLimits"));
    if (rateLimits.isObject())
        return rateLimits.toObject();
    return {};
}

std::optional<UsageWindow> windowOf(const QJsonObject& candidate)
{
    const std::optional<std::int64_t> used = readInteger(candidate, QLatin1StringView("usedPercent"));
    if (!used)
        return std::nullopt;

    UsageWindow window{std::clamp<std::int64_t>(*used, 0, 100), std::nullopt, std::nullopt};
    window.durationMinutes = readInteger(candidate, QLatin1StringView("windowDurationMins"));
    if (const auto resetsAt = readInteger(candidate, QLatin1StringView("resetsAt")))
        window.resetsAt = double(*resetsAt);
    return window;
}

} // namespace

std::optional<UsageSnapshot> UsagePayloadParser::parse(const QJsonObject& result)
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return parse(result, std::chrono::duration<double>(sinceEpoch).count());
}

std::optional<UsageSnapshot> UsagePayloadParser::parse(const QJsonObject& result, double now)
{
    const QJsonObject limits = limitsOf(result);

    std::optional<UsageWindow> fiveHour;
    std::optional<UsageWindow> week;
    for (const QLatin1StringView key : {QLatin1StringView("primary"), QLatin1StringView("secondary")}) {
        const QJsonValue candidate = limits.value(key);
        if (!candidate.isObject())
            continue;
        const std::optional<UsageWindow> window = windowOf(candidate.toObject());
        if (!window || !window->durationMinutes)
            continue;
        // The first window of each length wins.
        if (*window->durationMinutes == fiveHourMinutes && !fiveHour)
            fiveHour = window;
        else if (*window->durationMinutes == weekMinutes && !week)
            week = window;
    }

    if (!fiveHour && !week)
        return std::nullopt;
    return UsageSnapshot{fiveHour, week, now};
}

UsageAllowance UsagePayloadParser::parseAllowance(const QJsonObject& result)
{
    Q_UNUSED(result); // TODO(issue 13): parse the whole answer
    return {};
}

} // namespace tallyglass
