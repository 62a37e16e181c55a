#include "usage/UsagePayloadParser.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <chrono>

namespace tallyglass {
namespace {

constexpr double now = 1'700'000'000.5;

QJsonObject json(const char* text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return document.object();
}

// {"rateLimits": {"primary": <primary>, "secondary": <secondary>}} with the
// given window texts; an empty text leaves the key out.
QJsonObject rateLimits(const char* primary, const char* secondary)
{
    QByteArray text = "{\"rateLimits\":{";
    if (*primary)
        text += QByteArray("\"primary\":") + primary;
    if (*primary && *secondary)
        text += ",";
    if (*secondary)
        text += QByteArray("\"secondary\":") + secondary;
    text += "}}";
    return json(text.constData());
}

const char* const fiveHourWindow = R"({"usedPercent": 42, "windowDurationMins": 300, "resetsAt": 3600})";
const char* const weekWindow = R"({"usedPercent": 10, "windowDurationMins": 10080, "resetsAt": 7200})";
const UsageWindow expectedFiveHour{42, 300, 3600.0};
const UsageWindow expectedWeek{10, 10080, 7200.0};

TEST(UsagePayloadParser, ReadsBothWindowsFromRateLimits)
{
    const auto snapshot = UsagePayloadParser::parse(rateLimits(fiveHourWindow, weekWindow), now);
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(*snapshot, (UsageSnapshot{expectedFiveHour, expectedWeek, now}));
}

TEST(UsagePayloadParser, ChoosesTheLimitsDictionary)
{
    const UsageSnapshot both{expectedFiveHour, expectedWeek, now};
    const UsageSnapshot onlyWeek{std::nullopt, expectedWeek, now};
    const struct {
        const char* name;
        const char* result;
        std::optional<UsageSnapshot> expected;
    } cases[] = {
        {"codex entry", R"({"rateLimitsByLimitId": {"codex": {"primary": {"usedPercent": 42, "windowDurationMins": 300, "resetsAt": 3600}, "secondary": {"usedPercent": 10, "windowDurationMins": 10080, "resetsAt": 7200}}}})", both},
        {"codex entry wins over rateLimits", R"({"rateLimitsByLimitId": {"codex": {"secondary": {"usedPercent": 10, "windowDurationMins": 10080, "resetsAt": 7200}}}, "rateLimits": {"primary": {"usedPercent": 42, "windowDurationMins": 300, "resetsAt": 3600}}})", onlyWeek},
        {"codex entry without windows hides rateLimits", R"({"rateLimitsByLimitId": {"codex": {}}, "rateLimits": {"primary": {"usedPercent": 42, "windowDurationMins": 300}}})", std::nullopt},
        {"no codex entry falls back", R"({"rateLimitsByLimitId": {"other": {"primary": {"usedPercent": 1, "windowDurationMins": 300}}}, "rateLimits": {"secondary": {"usedPercent": 10, "windowDurationMins": 10080, "resetsAt": 7200}}})", onlyWeek},
        {"codex entry not a dictionary falls back", R"({"rateLimitsByLimitId": {"codex": [1]}, "rateLimits": {"secondary": {"usedPercent": 10, "windowDurationMins": 10080, "resetsAt": 7200}}})", onlyWeek},
        {"rateLimitsByLimitId not a dictionary falls back", R"({"rateLimitsByLimitId": "codex", "rateLimits": {"secondary": {"usedPercent": 10, "windowDurationMins": 10080, "resetsAt": 7200}}})", onlyWeek},
        {"rateLimits not a dictionary", R"({"rateLimits": [{"usedPercent": 10, "windowDurationMins": 10080}]})", std::nullopt},
        {"empty result", "{}", std::nullopt},
        {"limits without primary or secondary", R"({"rateLimits": {"tertiary": {"usedPercent": 10, "windowDurationMins": 10080}}})", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UsagePayloadParser::parse(json(c.result), now), c.expected) << c.name;
}

TEST(UsagePayloadParser, SelectsWindowsByLengthNotPosition)
{
    const char* const otherFive = R"({"usedPercent": 77, "windowDurationMins": 300})";
    const char* const hourly = R"({"usedPercent": 5, "windowDurationMins": 60})";
    const char* const noLength = R"({"usedPercent": 5})";
    const struct {
        const char* name;
        const char* primary;
        const char* secondary;
        std::optional<UsageSnapshot> expected;
    } cases[] = {
        {"swapped order", weekWindow, fiveHourWindow, UsageSnapshot{expectedFiveHour, expectedWeek, now}},
        {"two five-hour windows: first wins", fiveHourWindow, otherFive, UsageSnapshot{expectedFiveHour, std::nullopt, now}},
        {"only week", "", weekWindow, UsageSnapshot{std::nullopt, expectedWeek, now}},
        {"only five hours", fiveHourWindow, "", UsageSnapshot{expectedFiveHour, std::nullopt, now}},
        {"other lengths only", hourly, hourly, std::nullopt},
        {"other length next to week", hourly, weekWindow, UsageSnapshot{std::nullopt, expectedWeek, now}},
        {"lengths missing", noLength, noLength, std::nullopt},
        {"window not a dictionary is skipped", "[1,2]", weekWindow, UsageSnapshot{std::nullopt, expectedWeek, now}},
        {"null windows", "null", "null", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UsagePayloadParser::parse(rateLimits(c.primary, c.secondary), now), c.expected) << c.name;
}

// The five-hour window built from a "primary" with the given members.
std::optional<UsageWindow> fiveHourFrom(const char* members)
{
    const QByteArray window = QByteArray("{\"windowDurationMins\": 300") + (*members ? ", " : "") + members + "}";
    const auto snapshot = UsagePayloadParser::parse(rateLimits(window.constData(), ""), now);
    return snapshot ? snapshot->fiveHour : std::nullopt;
}

TEST(UsagePayloadParser, ReadsUsedPercent)
{
    const struct {
        const char* members;
        std::optional<std::int64_t> used; // nothing: the window is dropped
    } cases[] = {
        {R"("usedPercent": 42)", 42},
        {R"("usedPercent": "42")", 42},
        {R"("usedPercent": "+42")", 42},
        {R"("usedPercent": "007")", 7},
        {R"("usedPercent": 42.9)", 42},
        {R"("usedPercent": -0.5)", 0},
        {R"("usedPercent": -3)", 0},
        {R"("usedPercent": "-3")", 0},
        {R"("usedPercent": 250)", 100},
        {R"("usedPercent": 100)", 100},
        {R"("usedPercent": 9223372036854775807)", 100},
        {R"("usedPercent": "-9223372036854775808")", 0},
        {R"("usedPercent": "42.5")", std::nullopt},
        {R"("usedPercent": " 42")", std::nullopt},
        {R"("usedPercent": "42 ")", std::nullopt},
        {R"("usedPercent": "4e1")", std::nullopt},
        {R"("usedPercent": "")", std::nullopt},
        {R"("usedPercent": "-")", std::nullopt},
        {R"("usedPercent": "+-4")", std::nullopt},
        {R"("usedPercent": "0x10")", std::nullopt},
        {R"("usedPercent": "٤٢")", std::nullopt}, // non-ASCII digits
        {R"("usedPercent": "9223372036854775808")", std::nullopt},
        {R"("usedPercent": "-9223372036854775809")", std::nullopt},
        {R"("usedPercent": "99999999999999999999999")", std::nullopt},
        {R"("usedPercent": 1e300)", std::nullopt},
        {R"("usedPercent": -1e300)", std::nullopt},
        {R"("usedPercent": 9.3e18)", std::nullopt},
        {R"("usedPercent": null)", std::nullopt},
        {R"("usedPercent": true)", std::nullopt},
        {R"("usedPercent": [42])", std::nullopt},
        {R"("usedPercent": {"v": 42})", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto window = fiveHourFrom(c.members);
        EXPECT_EQ(window ? std::optional(window->usedPercent) : std::nullopt, c.used) << c.members;
    }
}

TEST(UsagePayloadParser, ReadsWindowLength)
{
    EXPECT_EQ(UsagePayloadParser::parse(rateLimits(R"({"usedPercent": 1, "windowDurationMins": "300"})", ""), now),
              (UsageSnapshot{UsageWindow{1, 300, std::nullopt}, std::nullopt, now}));
    EXPECT_EQ(UsagePayloadParser::parse(rateLimits(R"({"usedPercent": 1, "windowDurationMins": 10080.7})", ""), now),
              (UsageSnapshot{std::nullopt, UsageWindow{1, 10080, std::nullopt}, now}));
    for (const char* length : {R"("300.0")", R"("5h")", "1e300", "null", "-300"}) {
        const QByteArray window = QByteArray(R"({"usedPercent": 1, "windowDurationMins": )") + length + "}";
        EXPECT_EQ(UsagePayloadParser::parse(rateLimits(window.constData(), ""), now), std::nullopt) << length;
    }
}

TEST(UsagePayloadParser, ReadsResetsAt)
{
    const struct {
        const char* members;
        std::optional<double> resetsAt;
    } cases[] = {
        {R"("resetsAt": 3600)", 3600.0},
        {R"("resetsAt": "3600")", 3600.0},
        {R"("resetsAt": 3600.9)", 3600.0},
        {R"("resetsAt": 0)", 0.0},
        {R"("resetsAt": -60)", -60.0},
        {R"("resetsAt": "-60")", -60.0},
        {R"("resetsAt": 1735689600)", 1735689600.0},
        {R"("resetsAt": "2025-01-01T00:00:00Z")", std::nullopt},
        {R"("resetsAt": "3600.5")", std::nullopt},
        {R"("resetsAt": 1e300)", std::nullopt},
        {R"("resetsAt": -1e300)", std::nullopt},
        {R"("resetsAt": "99999999999999999999")", std::nullopt},
        {R"("resetsAt": null)", std::nullopt},
        {R"("resetsAt": {})", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const QByteArray members = QByteArray(R"("usedPercent": 5)") + (*c.members ? ", " : "") + c.members;
        const auto window = fiveHourFrom(members.constData());
        ASSERT_TRUE(window) << "an unusable resetsAt keeps the window: " << c.members;
        EXPECT_EQ(window->resetsAt, c.resetsAt) << c.members;
    }
}

TEST(UsagePayloadParser, ReceivedAtIsNow)
{
    const QJsonObject result = rateLimits(fiveHourWindow, "");
    EXPECT_EQ(UsagePayloadParser::parse(result, 12.75)->receivedAt, 12.75);

    using namespace std::chrono;
    const double before = duration<double>(system_clock::now().time_since_epoch()).count();
    const auto snapshot = UsagePayloadParser::parse(result);
    const double after = duration<double>(system_clock::now().time_since_epoch()).count();
    ASSERT_TRUE(snapshot);
    EXPECT_GE(snapshot->receivedAt, before);
    EXPECT_LE(snapshot->receivedAt, after);
}

TEST(UsagePayloadParser, IgnoresOtherMembers)
{
    const QJsonObject result = json(R"({
        "rateLimits": {"limitId": "codex", "primary": {"usedPercent": 42, "windowDurationMins": 300, "resetsAt": 3600, "extra": [1]},
                       "secondary": {"usedPercent": 10, "windowDurationMins": 10080, "resetsAt": 7200},
                       "credits": {"hasCredits": true, "unlimited": false, "balance": "12.5"}, "planType": "plus"},
        "unknown": {"primary": 1}})");
    EXPECT_EQ(UsagePayloadParser::parse(result, now), (UsageSnapshot{expectedFiveHour, expectedWeek, now}));
}

} // namespace
} // namespace tallyglass
