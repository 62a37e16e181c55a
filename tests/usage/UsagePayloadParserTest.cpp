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

// The result of account/rateLimits/read as codex-cli 0.171.0 sends it (captured against
// fake-backend's "whole" mode).
const char* const cliAnswer = R"({"ordinaryUsageAllowed":null,"rateLimits":{"limitId":"codex","limitName":null,"normalModelSlug":null,"primary":{"usedPercent":37,"windowDurationMins":300,"resetsAt":1796684481},"secondary":{"usedPercent":12,"windowDurationMins":10080,"resetsAt":1797271281},"credits":{"hasCredits":true,"unlimited":false,"balance":"125.5"},"individualLimit":{"limit":"50","used":"12.5","remainingPercent":75,"resetsAt":1796925680},"spendControlReached":false,"planType":"plus","rateLimitReachedType":"workspace_member_usage_limit_reached"},"rateLimitsByLimitId":{"codex_bengalfox":{"limitId":"codex_bengalfox","limitName":"GPT-5.3-Codex-Spark","normalModelSlug":null,"primary":{"usedPercent":40,"windowDurationMins":300,"resetsAt":1796684481},"secondary":{"usedPercent":5,"windowDurationMins":10080,"resetsAt":1797271281},"credits":null,"individualLimit":null,"spendControlReached":null,"planType":"plus","rateLimitReachedType":null},"codex":{"limitId":"codex","limitName":null,"normalModelSlug":null,"primary":{"usedPercent":37,"windowDurationMins":300,"resetsAt":1796684481},"secondary":{"usedPercent":12,"windowDurationMins":10080,"resetsAt":1797271281},"credits":{"hasCredits":true,"unlimited":false,"balance":"125.5"},"individualLimit":{"limit":"50","used":"12.5","remainingPercent":75,"resetsAt":1796925680},"spendControlReached":false,"planType":"plus","rateLimitReachedType":"workspace_member_usage_limit_reached"}},"rateLimitResetCredits":{"availableCount":2,"credits":[{"id":"rlrc-later","resetType":"codexRateLimits","status":"available","grantedAt":1796580080,"expiresAt":1797530480,"title":"Rate limit reset","description":"Resets your Codex usage limits"},{"id":"rlrc-soon","resetType":"codexRateLimits","status":"available","grantedAt":1796662880,"expiresAt":1796738480,"title":"Rate limit reset","description":"Resets your Codex usage limits"}]},"accountId":null,"rateLimitUpsell":null})";

TEST(UsagePayloadParser, ReadsTheWholeAnswerOfTheCli)
{
    const QJsonObject result = json(cliAnswer);
    const UsageAllowance allowance = UsagePayloadParser::parseAllowance(result);
    const std::vector<LimitBucket> others{{"codex_bengalfox", "GPT-5.3-Codex-Spark", UsageWindow{40, 300, 1796684481.0},
                                           UsageWindow{5, 10080, 1797271281.0}}};
    EXPECT_EQ(allowance.otherLimits, others);
    EXPECT_EQ(allowance.credits, (Credits{true, false, "125.5"}));
    EXPECT_EQ(allowance.plan, "plus");
    EXPECT_EQ(allowance.reached, "workspace_member_usage_limit_reached");
    EXPECT_EQ(allowance.spendControl, (SpendControl{75, 1796925680.0, "12.5", "50"}));
    const std::vector<ResetCredit> credits{
        {"rlrc-later", "codexRateLimits", "available", 1796580080.0, 1797530480.0, "Rate limit reset",
         "Resets your Codex usage limits"},
        {"rlrc-soon", "codexRateLimits", "available", 1796662880.0, 1796738480.0, "Rate limit reset",
         "Resets your Codex usage limits"},
    };
    EXPECT_EQ(allowance.resetCredits, (ResetCredits{2, credits}));
    EXPECT_EQ(allowance.ordinaryUsageAllowed, std::nullopt);
    EXPECT_EQ(UsagePayloadParser::parse(result, now),
              (UsageSnapshot{UsageWindow{37, 300, 1796684481.0}, UsageWindow{12, 10080, 1797271281.0}, now}));
}

// Each case: a result, and the one part of the allowance it gives (the rest empty).
TEST(UsagePayloadParser, ReadsEachPartOfTheAllowanceLeniently)
{
    const UsageWindow five{1, 300, std::nullopt};
    const auto bucket = [&five](const char* id, const char* name) { return LimitBucket{id, name, five, std::nullopt}; };
    const auto others = [](std::vector<LimitBucket> b) {
        UsageAllowance a;
        a.otherLimits = std::move(b);
        return a;
    };
    const auto withCredits = [](Credits c) {
        UsageAllowance a;
        a.credits = c;
        return a;
    };
    const auto withText = [](const char* plan, const char* reached) {
        UsageAllowance a;
        if (*plan)
            a.plan = plan;
        if (*reached)
            a.reached = reached;
        return a;
    };
    const auto withSpend = [](SpendControl s) {
        UsageAllowance a;
        a.spendControl = s;
        return a;
    };
    const auto withResets = [](ResetCredits r) {
        UsageAllowance a;
        a.resetCredits = r;
        return a;
    };
    const auto resetCredit = [](const char* id, std::optional<QString> type = {}, std::optional<QString> status = {}) {
        ResetCredit c;
        c.id = id;
        c.resetType = type;
        c.status = status;
        return c;
    };
    const auto allowed = [](bool value) {
        UsageAllowance a;
        a.ordinaryUsageAllowed = value;
        return a;
    };
    using Credit = std::vector<ResetCredit>;
    const struct {
        const char* result;
        UsageAllowance expected;
    } cases[] = {
        {"{}", {}},
        // Other buckets: sorted by display name, the name falling back to the id; the codex
        // bucket, non-dictionaries and buckets without a 300 or 10080 window left out.
        {R"({"rateLimitsByLimitId": {
              "zeta": {"limitName": "Alpha", "primary": {"usedPercent": 1, "windowDurationMins": 300}},
              "beta": {"limitId": "beta", "limitName": null, "primary": {"usedPercent": 1, "windowDurationMins": 300}},
              "gamma": {"limitName": "", "primary": {"usedPercent": 1, "windowDurationMins": 60}},
              "delta": [1], "codex": {"primary": {"usedPercent": 1, "windowDurationMins": 300}}}})",
         others({bucket("zeta", "Alpha"), bucket("beta", "beta")})},
        {R"({"rateLimitsByLimitId": {"b": {"limitId": "spark", "secondary": {"usedPercent": "7", "windowDurationMins": 10080}}}})",
         others({LimitBucket{"spark", "spark", std::nullopt, UsageWindow{7, 10080, std::nullopt}}})},
        {R"({"rateLimitsByLimitId": null, "rateLimits": {"limitName": "x"}})", {}},
        // The codex bucket's parts come from rateLimits when rateLimitsByLimitId has none.
        {R"({"rateLimits": {"credits": {"hasCredits": false, "unlimited": true, "balance": null}}})",
         withCredits(Credits{false, true, std::nullopt})},
        {R"({"rateLimitsByLimitId": {"codex": {"credits": {"hasCredits": true, "unlimited": false, "balance": 12}}}})",
         withCredits(Credits{true, false, std::nullopt})},
        {R"({"rateLimits": {"credits": {"hasCredits": "true", "unlimited": false, "balance": "1"}}})", {}},
        {R"({"rateLimits": {"credits": {"unlimited": false}}})", {}},
        {R"({"rateLimitsByLimitId": {"codex": {"planType": "pro"}}, "rateLimits": {"planType": "plus", "rateLimitReachedType": "rate_limit_reached"}})",
         withText("pro", "")},
        {R"({"rateLimits": {"planType": "galaxy_brain", "rateLimitReachedType": "a_new_reason"}})",
         withText("galaxy_brain", "a_new_reason")},
        {R"({"rateLimits": {"planType": 3, "rateLimitReachedType": ""}})", {}},
        {R"({"rateLimits": {"individualLimit": {"remainingPercent": 140, "resetsAt": "3600", "used": "1", "limit": "2"}}})",
         withSpend(SpendControl{100, 3600.0, "1", "2"})},
        {R"({"rateLimits": {"individualLimit": {"remainingPercent": -4, "resetsAt": "2026-12-08T00:00:00Z"}}})",
         withSpend(SpendControl{0, std::nullopt, std::nullopt, std::nullopt})},
        {R"({"rateLimits": {"individualLimit": {"remainingPercent": "half", "used": 3}}})", {}},
        {R"({"rateLimits": {"individualLimit": null}})", {}},
        // Reset credits: the count is required; a null list means only the count is known;
        // a credit without an id is dropped; times must be whole seconds.
        {R"({"rateLimitResetCredits": {"availableCount": 3, "credits": null}})", withResets(ResetCredits{3, std::nullopt})},
        {R"({"rateLimitResetCredits": {"availableCount": 0, "credits": []}})", withResets(ResetCredits{0, Credit{}})},
        {R"({"rateLimitResetCredits": {"availableCount": -2, "credits": "many"}})", withResets(ResetCredits{0, std::nullopt})},
        {R"({"rateLimitResetCredits": {"credits": [{"id": "a"}]}})", {}},
        {R"({"rateLimitResetCredits": {"availableCount": "2", "credits": [{"id": "a"}, {"id": ""}, {"status": "available"}, "b", {"id": "c"}]}})",
         withResets(ResetCredits{2, Credit{resetCredit("a"), resetCredit("c")}})},
        {R"({"rateLimitResetCredits": {"availableCount": 1, "credits": [{"id": "a", "resetType": "somethingNew", "status": "frozen",
              "grantedAt": "2026-12-08T00:00:00Z", "expiresAt": null, "title": null, "description": 5}]}})",
         withResets(ResetCredits{1, Credit{resetCredit("a", "somethingNew", "frozen")}})},
        {R"({"ordinaryUsageAllowed": false})", allowed(false)},
        {R"({"ordinaryUsageAllowed": "yes"})", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UsagePayloadParser::parseAllowance(json(c.result)), c.expected) << c.result;
}

} // namespace
} // namespace tallyglass
