#include "console/BarLines.h"
#include "console/DeliveryJson.h"
#include "console/StatusConsole.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>
#include <tuple>
#include <limits>

namespace tallyglass {
namespace {

TEST(DeliveryJsonTest, SnapshotLinesCarryEveryFieldAndNullForWhatIsMissing)
{
    struct Case {
        const char* name;
        UsageSnapshot snapshot;
        QByteArray expected;
        UsageAllowance allowance = {};
    };
    UsageAllowance whole;
    whole.otherLimits = {{"codex_bengalfox", "GPT-5.3-Codex-Spark", UsageWindow{40, 300, 1893456000.0}, std::nullopt}};
    whole.credits = Credits{true, false, "125.5"};
    whole.plan = "pro";
    whole.reached = "workspace_owner_credits_depleted";
    whole.spendControl = SpendControl{7, std::nullopt, "93", "100"};
    whole.resetCredits = ResetCredits{2, std::vector<ResetCredit>{{"rc_1", {}, {}, {}, 1893500000.0, {}, {}},
                                                                 {"rc_2", {}, {}, {}, std::nullopt, {}, {}}}};
    whole.ordinaryUsageAllowed = false;
    UsageAllowance countOnly; // as --history gives it: other buckets only, here none; and a bare count
    countOnly.resetCredits = ResetCredits{1, std::nullopt};
    countOnly.credits = Credits{false, true, std::nullopt};
    const Case cases[] = {
        {"both windows",
         {UsageWindow{37, 300, 1893456000.0}, UsageWindow{12, 10080, 1894060800.0}, 1893450000.25},
         R"({"snapshot":{"fiveHour":{"durationMinutes":300,"remainingPercent":63,"resetsAt":1893456000,"usedPercent":37},)"
         R"("receivedAt":1893450000.25,"week":{"durationMinutes":10080,"remainingPercent":88,"resetsAt":1894060800,"usedPercent":12}}})"
         "\n"},
        {"week only, no duration, no reset",
         {std::nullopt, UsageWindow{100, std::nullopt, std::nullopt}, 0},
         R"({"snapshot":{"fiveHour":null,"receivedAt":0,"week":{"durationMinutes":null,"remainingPercent":0,"resetsAt":null,"usedPercent":100}}})"
         "\n"},
        {"out-of-range percentages are clamped only in remainingPercent",
         {UsageWindow{-5, 300, std::nullopt}, std::nullopt, 1},
         R"({"snapshot":{"fiveHour":{"durationMinutes":300,"remainingPercent":100,"resetsAt":null,"usedPercent":-5},"receivedAt":1,"week":null}})"
         "\n"},
        {"times that are not finite become null",
         {UsageWindow{1, 300, std::numeric_limits<double>::infinity()}, std::nullopt,
          std::numeric_limits<double>::quiet_NaN()},
         R"({"snapshot":{"fiveHour":{"durationMinutes":300,"remainingPercent":99,"resetsAt":null,"usedPercent":1},"receivedAt":null,"week":null}})"
         "\n"},
        {"64-bit integers survive exactly",
         {UsageWindow{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(), 1.5},
          std::nullopt, 2},
         R"({"snapshot":{"fiveHour":{"durationMinutes":-9223372036854775808,"remainingPercent":0,"resetsAt":1.5,"usedPercent":9223372036854775807},"receivedAt":2,"week":null}})"
         "\n"},
        {"the whole allowance",
         {std::nullopt, std::nullopt, 3},
         R"({"snapshot":{"credits":{"balance":"125.5","hasCredits":true,"unlimited":false},"fiveHour":null,)"
         R"("limits":[{"fiveHour":{"durationMinutes":300,"remainingPercent":60,"resetsAt":1893456000,"usedPercent":40},)"
         R"("id":"codex_bengalfox","name":"GPT-5.3-Codex-Spark","week":null}],"plan":"pro","reached":"workspace_owner_credits_depleted",)"
         R"("receivedAt":3,"resetCredits":{"available":2,"credits":[{"expiresAt":1893500000,"id":"rc_1"},{"expiresAt":null,"id":"rc_2"}]},)"
         R"("spendControl":{"remainingPercent":7,"resetsAt":null},"week":null}})"
         "\n",
         whole},
        {"only what is known",
         {std::nullopt, std::nullopt, 4},
         R"({"snapshot":{"credits":{"balance":null,"hasCredits":false,"unlimited":true},"fiveHour":null,"receivedAt":4,)"
         R"("resetCredits":{"available":1},"week":null}})"
         "\n",
         countOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DeliveryJson::line(DeliveryJson::snapshot(c.snapshot, c.allowance)).toStdString(),
                  c.expected.toStdString());
    }
}

TEST(DeliveryJsonTest, ReceivedAtKeepsSubSecondPrecision)
{
    const double receivedAt = 1796627948.123456;
    const QJsonObject json = DeliveryJson::snapshot({std::nullopt, std::nullopt, receivedAt});
    const QByteArray line = DeliveryJson::line(json);
    const QJsonObject back = QJsonDocument::fromJson(line).object();
    EXPECT_EQ(back["snapshot"].toObject()["receivedAt"].toDouble(), receivedAt);
}

TEST(DeliveryJsonTest, StatusLinesAreUtf8AndNullForTheClear)
{
    EXPECT_EQ(DeliveryJson::line(DeliveryJson::status(std::nullopt)), QByteArray("{\"status\":null}\n"));
    const QString text = QStringLiteral("사용량 조회 실패 (코드 -32603) — Codex 재연결 중…");
    EXPECT_EQ(DeliveryJson::line(DeliveryJson::status(text)),
              QByteArray("{\"status\":\"") + text.toUtf8() + QByteArray("\"}\n"));
    // Quotes, backslashes and control characters are escaped; the line stays one line.
    const QByteArray odd = DeliveryJson::line(DeliveryJson::status(QStringLiteral("a\"b\\c\nd")));
    EXPECT_EQ(odd, QByteArray("{\"status\":\"a\\\"b\\\\c\\nd\"}\n"));
}

TEST(StatusConsoleTest, OnlyStatusesOfAReadingStillUnderWayLetItRunOn)
{
    // The console decides by kind; the texts beside them are the ones users read.
    const std::tuple<ClientStatus, const char*, bool> cases[] = {
        {ClientStatus::loading(), "사용량 불러오는 중…", false},
        {ClientStatus::checkingAccount(), "계정 확인 중… 이전 사용량 표시 중지", false},
        {ClientStatus::accountChanged(), "계정 상태 변경 — 이전 사용량 표시 중지", false},
        {ClientStatus::reconnecting(ClientStatus::requestFailedText(ClientStatus::usageLabel(), -32603)),
         "사용량 조회 실패 (코드 -32603) — Codex 재연결 중…", false},
        {ClientStatus::reconnecting(ClientStatus::accountChangeReason()), "Codex 계정 변경 감지 — Codex 재연결 중…",
         false},
        {ClientStatus::signedOut(), "Codex에서 ChatGPT 로그인이 필요함 — 이전 사용량 표시 중지", true},
        {ClientStatus::retryStopped(ClientStatus::requestFailedText(ClientStatus::usageLabel(), -32603)),
         "사용량 조회 실패 (코드 -32603) — 자동 재시도 중단, 잠시 후 새로고침 (이전 사용량 표시 중지)", true},
        {ClientStatus::notFound(), "Codex CLI를 찾을 수 없음", true},
        {ClientStatus::launchFailed(2), "Codex 실행 실패 (2)", true},
        {ClientStatus::childExited(1, {}), "Codex 연결 종료 (종료 코드 1)", true},
        {ClientStatus::initializeTimedOut(), "Codex 초기화 시간 초과 — 새로고침으로 재연결", true},
        {ClientStatus::noAccountAnswer(), "계정 확인 응답 없음", true},
        {ClientStatus::noUsageData(), "사용량 데이터 없음", true},
        {ClientStatus::requestFailed(ClientStatus::requestFailedText(ClientStatus::usageLabel(), 429)),
         "사용량 조회 실패 (코드 429)", true},
        {ClientStatus::sendFailed(), "Codex에 요청을 보내지 못함 — 새로고침으로 재연결", true},
    };
    for (const auto& [status, text, ends] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(status.text, QString::fromUtf8(text));
        EXPECT_EQ(!status.readingUnderway(), ends);
    }
}

// What a bar shows through a reading, a refresh, low figures and a failure: the waybar
// line (text, class, percentage, tooltip) and the text line, one per change.
TEST(BarLinesTest, WaybarAndTextFollowTheTrayThroughAReadingAndARefresh)
{
    TimeContext utc{1'893'400'000, QTimeZone::utc()};
    BarLines waybar(ConsoleOptions::Format::Waybar, [&] { return utc; });
    BarLines text(ConsoleOptions::Format::Text, [&] { return utc; });
    const auto reading = [&](std::int64_t used) {
        return UsageSnapshot{UsageWindow{used, 300, 1893456000}, UsageWindow{12, 10080, 1894060800}, utc.now};
    };
    const auto object = [](const std::optional<QByteArray>& line) {
        return line ? QJsonDocument::fromJson(*line).object() : QJsonObject{};
    };
    const auto tick = [](BarLines& b) { return b.tick(); };
    struct Step {
        double advance; // seconds on the clock before the delivery
        std::function<std::optional<QByteArray>(BarLines&)> deliver;
        const char* text;     // nullptr: the line is left out, nothing changed
        const char* barClass;
        int percentage;       // -1: none
    };
    const Step steps[] = {
        // Nothing shows until the first reading ends or has taken a second.
        {0, [](BarLines& b) { return b.status(ClientStatus::loading()); }, nullptr, nullptr, -1},
        {0.5, tick, nullptr, nullptr, -1},
        {0.5, tick, "…", "stale", -1},
        {0, [](BarLines& b) { return b.status(ClientStatus::checkingAccount()); }, nullptr, nullptr, -1},
        {0, [](BarLines& b) { return b.status(std::nullopt); }, nullptr, nullptr, -1},
        {0, [&](BarLines& b) { return b.snapshot(reading(37)); }, "63% (12:00 AM)", "ok", 63},
        // A refresh keeps the figure on the bar and marks it stale only after a second,
        // counted from its first status: a quick one (or a flood of them) never flickers.
        {0, [](BarLines& b) { return b.status(ClientStatus::checkingAccount()); }, nullptr, nullptr, -1},
        {0.9, [](BarLines& b) { return b.status(ClientStatus::accountChanged()); }, nullptr, nullptr, -1},
        {0, [&](BarLines& b) { return b.snapshot(reading(37)); }, nullptr, nullptr, -1},
        {0, [](BarLines& b) { return b.status(ClientStatus::checkingAccount()); }, nullptr, nullptr, -1},
        {1, tick, "63% (12:00 AM)", "stale", 63},
        {0, [&](BarLines& b) { return b.snapshot(reading(75)); }, "25% (12:00 AM)", "warning", 25},
        {0, [&](BarLines& b) { return b.snapshot(reading(90)); }, "10% (12:00 AM)", "critical", 10},
        {0, [&](BarLines& b) { return b.snapshot(reading(90)); }, nullptr, nullptr, -1},
        {0, tick, nullptr, nullptr, -1},
        {0, [](BarLines& b) { return b.status(ClientStatus::notFound()); }, "!", "error", -1},
    };
    QByteArray lastPlain;
    for (const Step& step : steps) {
        utc.now += step.advance;
        const std::optional<QByteArray> line = step.deliver(waybar);
        const std::optional<QByteArray> plain = step.deliver(text);
        SCOPED_TRACE(line ? line->toStdString() : "(none)");
        ASSERT_EQ(line.has_value(), step.text != nullptr);
        if (!step.text)
            continue;
        EXPECT_TRUE(line->endsWith("}\n") && line->count('\n') == 1);
        const QJsonObject bar = object(line);
        EXPECT_EQ(bar.value("text").toString(), QString::fromUtf8(step.text));
        EXPECT_EQ(bar.value("class").toString(), QString::fromUtf8(step.barClass));
        EXPECT_EQ(bar.value("percentage").toInt(-1), step.percentage);
        // The text line comes only when the title changes, so not for a refresh.
        const QByteArray expectedPlain = QByteArray(step.text) + '\n';
        EXPECT_EQ(plain.value_or(lastPlain), expectedPlain);
        EXPECT_EQ(plain.has_value(), expectedPlain != lastPlain);
        lastPlain = expectedPlain;
    }
    // The tooltip: the tray's tooltip, then the menu's usage lines; a failure's is its text.
    const QString tooltip = object(waybar.snapshot(reading(37))).value("tooltip").toString();
    EXPECT_EQ(tooltip, QStringLiteral("5시간 한도 남음\n5h 남음: 63%\n5h 갱신: 12:00 AM\nWeek 남음: 88%\n"
                                      "Week 갱신: Tue 12:00 AM\n확인: 8:26 AM"));
    // The allowance's menu lines follow the window lines: another bucket under its name, credits, resets.
    UsageAllowance allowance;
    allowance.otherLimits = {{"codex_bengalfox", "Spark", UsageWindow{40, 300, 1893456000}, UsageWindow{5, 10080, 1894060800}}};
    allowance.credits = Credits{true, false, "125.5"};
    allowance.resetCredits = ResetCredits{2, std::nullopt};
    EXPECT_EQ(object(waybar.snapshot(reading(37), allowance)).value("tooltip").toString(),
              QStringLiteral("5시간 한도 남음\n5h 남음: 63%\n5h 갱신: 12:00 AM\nWeek 남음: 88%\nWeek 갱신: Tue 12:00 AM\n"
                             "Spark\n5h 남음: 60%\n5h 갱신: 12:00 AM\nWeek 남음: 95%\nWeek 갱신: Tue 12:00 AM\n"
                             "크레딧 잔액: 125.5\n한도 리셋 2개\n확인: 8:26 AM"));
    EXPECT_EQ(object(waybar.status(ClientStatus::notFound())).value("tooltip").toString(),
              ClientStatus::notFound().text);
}

} // namespace
} // namespace tallyglass
