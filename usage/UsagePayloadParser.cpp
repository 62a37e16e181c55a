#include "usage/UsagePayloadParser.h"

#include "usage/JsonInteger.h"

#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <chrono>
#include <limits>
#include <tuple>

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

struct WindowPair {
    std::optional<UsageWindow> fiveHour;
    std::optional<UsageWindow> week;
};

// The five-hour and the week window of a limits dictionary, chosen by length.
WindowPair windowsOf(const QJsonObject& limits)
{
    WindowPair pair;
    for (const QLatin1StringView key : {QLatin1StringView("primary"), QLatin1StringView("secondary")}) {
        const QJsonValue candidate = limits.value(key);
        if (!candidate.isObject())
            continue;
        const std::optional<UsageWindow> window = windowOf(candidate.toObject());
        if (!window || !window->durationMinutes)
            continue;
        // The first window of each length wins.
        if (*window->durationMinutes == fiveHourMinutes && !pair.fiveHour)
            pair.fiveHour = window;
        else if (*window->durationMinutes == weekMinutes && !pair.week)
            pair.week = window;
    }
    return pair;
}

std::optional<QString> readText(const QJsonObject& object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// Text that names something (an id, an enum value): present and not empty.
std::optional<QString> readName(const QJsonObject& object, QLatin1StringView key)
{
    std::optional<QString> text = readText(object, key);
    if (text && text->isEmpty())
        return std::nullopt;
    return text;
}

std::optional<bool> readBool(const QJsonObject& object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

// Whole seconds since 1970, read like a window's resetsAt.
std::optional<double> readTime(const QJsonObject& object, QLatin1StringView key)
{
    if (const auto seconds = readInteger(object, key))
        return double(*seconds);
    return std::nullopt;
}

std::optional<QJsonObject> readObject(const QJsonObject& object, QLatin1StringView key)
{
    const QJsonValue value = object.value(key);
    if (!value.isObject())
        return std::nullopt;
    return value.toObject();
}

std::vector<LimitBucket> otherLimitsOf(const QJsonObject& result)
{
    std::vector<LimitBucket> buckets;
    const std::optional<QJsonObject> byId = readObject(result, QLatin1StringView("rateLimitsByLimitId"));
    if (!byId)
        return buckets;
    for (auto it = byId->begin(); it != byId->end(); ++it) {
        if (it.key() == QLatin1StringView("codex") || !it.value().isObject())
            continue;
        const QJsonObject limits = it.value().toObject();
        const WindowPair windows = windowsOf(limits);
        // A bucket without a window of either length has nothing to show.
        if (!windows.fiveHour && !windows.week)
            continue;
        const QString id = readName(limits, QLatin1StringView("limitId")).value_or(it.key());
        const QString name = readName(limits, QLatin1StringView("limitName")).value_or(id);
        buckets.push_back(LimitBucket{id, name, windows.fiveHour, windows.week});
    }
    std::sort(buckets.begin(), buckets.end(), [](const LimitBucket& a, const LimitBucket& b) {
        return std::tie(a.name, a.id) < std::tie(b.name, b.id);
    });
    return buckets;
}

std::optional<Credits> creditsOf(const QJsonObject& limits)
{
    const std::optional<QJsonObject> credits = readObject(limits, QLatin1StringView("credits"));
    if (!credits)
        return std::nullopt;
    const std::optional<bool> hasCredits = readBool(*credits, QLatin1StringView("hasCredits"));
    const std::optional<bool> unlimited = readBool(*credits, QLatin1StringView("unlimited"));
    if (!hasCredits || !unlimited)
        return std::nullopt;
    return Credits{*hasCredits, *unlimited, readText(*credits, QLatin1StringView("balance"))};
}

std::optional<SpendControl> spendControlOf(const QJsonObject& limits)
{
    const std::optional<QJsonObject> individual = readObject(limits, QLatin1StringView("individualLimit"));
    if (!individual)
        return std::nullopt;
    SpendControl spend;
    if (const auto remaining = readInteger(*individual, QLatin1StringView("remainingPercent")))
        spend.remainingPercent = std::clamp<std::int64_t>(*remaining, 0, 100);
    spend.resetsAt = readTime(*individual, QLatin1StringView("resetsAt"));
    spend.used = readText(*individual, QLatin1StringView("used"));
    spend.limit = readText(*individual, QLatin1StringView("limit"));
    if (spend == SpendControl{})
        return std::nullopt;
    return spend;
}

std::optional<ResetCredit> resetCreditOf(const QJsonValue& value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject credit = value.toObject();
    // Without an id a credit cannot be named when it is spent.
    std::optional<QString> id = readName(credit, QLatin1StringView("id"));
    if (!id)
        return std::nullopt;
    return ResetCredit{
        std::move(*id),
        readName(credit, QLatin1StringView("resetType")),
        readName(credit, QLatin1StringView("status")),
        readTime(credit, QLatin1StringView("grantedAt")),
        readTime(credit, QLatin1StringView("expiresAt")),
        readText(credit, QLatin1StringView("title")),
        readText(credit, QLatin1StringView("description")),
    };
}

std::optional<ResetCredits> resetCreditsOf(const QJsonObject& result)
{
    const std::optional<QJsonObject> summary = readObject(result, QLatin1StringView("rateLimitResetCredits"));
    if (!summary)
        return std::nullopt;
    const std::optional<std::int64_t> count = readInteger(*summary, QLatin1StringView("availableCount"));
    if (!count)
        return std::nullopt;
    ResetCredits resetCredits{std::max<std::int64_t>(*count, 0), std::nullopt};
    const QJsonValue list = summary->value(QLatin1StringView("credits"));
    if (list.isArray()) {
        std::vector<ResetCredit> credits;
        for (const QJsonValue& entry : list.toArray())
            if (std::optional<ResetCredit> credit = resetCreditOf(entry))
                credits.push_back(std::move(*credit));
        resetCredits.credits = std::move(credits);
    }
    return resetCredits;
}

} // namespace

std::optional<UsageSnapshot> UsagePayloadParser::parse(const QJsonObject& result)
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return parse(result, std::chrono::duration<double>(sinceEpoch).count());
}

std::optional<UsageSnapshot> UsagePayloadParser::parse(const QJsonObject& result, double now)
{
    const WindowPair windows = windowsOf(limitsOf(result));
    if (!windows.fiveHour && !windows.week)
        return std::nullopt;
    return UsageSnapshot{windows.fiveHour, windows.week, now};
}

UsageAllowance UsagePayloadParser::parseAllowance(const QJsonObject& result)
{
    const QJsonObject codex = limitsOf(result);
    UsageAllowance allowance;
    allowance.otherLimits = otherLimitsOf(result);
    allowance.credits = creditsOf(codex);
    allowance.plan = readName(codex, QLatin1StringView("planType"));
    allowance.reached = readName(codex, QLatin1StringView("rateLimitReachedType"));
    allowance.spendControl = spendControlOf(codex);
    allowance.resetCredits = resetCreditsOf(result);
    allowance.ordinaryUsageAllowed = readBool(result, QLatin1StringView("ordinaryUsageAllowed"));
    return allowance;
}

} // namespace tallyglass
