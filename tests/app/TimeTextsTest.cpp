#include "app/SystemClock.h"
#include "texts/AllowanceTexts.h"
#include "texts/TimeTexts.h"

#include <QByteArray>
#include <cmath>
#include <ctime>
#include <gtest/gtest.h>
#include <limits>

namespace tallyglass::test {
namespace {

constexpr double now = 1'800'000'000; // 2027-01-15T08:00:00Z, a Friday

struct CountdownRow {
    double secondsLeft;
    const char* compact;
    const char* longForm;
};

void PrintTo(const CountdownRow& row, std::ostream* out)
{
    *out << row.secondsLeft << " s";
}

class Countdown : public ::testing::TestWithParam<CountdownRow> {};

TEST_P(Countdown, BothForms)
{
    const CountdownRow& row = GetParam();
    EXPECT_EQ(TimeTexts::remainingTime(now + row.secondsLeft, true, now), QString::fromUtf8(row.compact));
    EXPECT_EQ(TimeTexts::remainingTime(now + row.secondsLeft, false, now), QString::fromUtf8(row.longForm));
}

constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    TimeTexts, Countdown,
    ::testing::Values(CountdownRow{0, "0m", "0분"}, CountdownRow{30, "1m", "1분"}, CountdownRow{0.001, "1m", "1분"},
                      CountdownRow{60, "1m", "1분"}, CountdownRow{61, "2m", "2분"},
                      CountdownRow{59 * 60 + 1, "1h 0m", "1시간 0분"}, CountdownRow{3600, "1h 0m", "1시간 0분"},
                      CountdownRow{2 * 3600 + 13 * 60, "2h 13m", "2시간 13분"},
                      CountdownRow{23 * 3600 + 59 * 60 + 30, "1d 0h", "1일 0시간"},
                      CountdownRow{86400 + 5 * 3600 + 59 * 60, "1d 5h", "1일 5시간"},
                      CountdownRow{3 * 86400 + 4 * 3600 + 59 * 60, "3d 4h", "3일 4시간"},
                      CountdownRow{-90, "0m", "0분"}, CountdownRow{-1e300, "0m", "0분"},
                      // Far-off times saturate at 99999 days instead of overflowing.
                      CountdownRow{99998.0 * 86400, "99998d 0h", "99998일 0시간"},
                      CountdownRow{1e12, "99999d 0h", "99999일 0시간"},
                      CountdownRow{1e300, "99999d 0h", "99999일 0시간"}, CountdownRow{inf, "99999d 0h", "99999일 0시간"},
                      CountdownRow{-inf, "0m", "0분"}));

TEST(TimeTexts, NotANumberCountsAsNoTimeLeft)
{
    EXPECT_EQ(TimeTexts::remainingTime(std::nan(""), true, now), QStringLiteral("0m"));
    EXPECT_EQ(TimeTexts::remainingTime(now, false, std::nan("")), QStringLiteral("0분"));
}

TEST(TimeTexts, ClockAndWeekFormatsInEnglish)
{
    const QTimeZone utc = QTimeZone::utc();
    EXPECT_EQ(TimeTexts::formatTime(now + 3 * 3600 + 300, TimeFormat::clock, utc), QStringLiteral("11:05 AM"));
    EXPECT_EQ(TimeTexts::formatTime(now + 3 * 3600 + 359.9, TimeFormat::clock, utc), QStringLiteral("11:05 AM"));
    EXPECT_EQ(TimeTexts::formatTime(now + 16 * 3600, TimeFormat::clock, utc), QStringLiteral("12:00 AM"));
    EXPECT_EQ(TimeTexts::formatTime(now + 4 * 3600 + 59, TimeFormat::clock, utc), QStringLiteral("12:00 PM"));
    EXPECT_EQ(TimeTexts::formatTime(now + 7 * 3600 + 5 * 60, TimeFormat::week, utc), QStringLiteral("Fri 3:05 PM"));
    EXPECT_EQ(TimeTexts::formatTime(now + 3 * 86400, TimeFormat::week, utc), QStringLiteral("Mon 8:00 AM"));
    EXPECT_EQ(TimeTexts::formatTime(-1, TimeFormat::week, utc), QStringLiteral("Wed 11:59 PM"));
    const QTimeZone seoul(QByteArrayLiteral("Asia/Seoul"));
    EXPECT_EQ(TimeTexts::formatTime(now, TimeFormat::week, seoul), QStringLiteral("Fri 5:00 PM"));
}

TEST(TimeTexts, TimesBeyondTheCalendarShowNoTime)
{
    const QTimeZone utc = QTimeZone::utc();
    for (const double time : {inf, -inf, std::nan(""), 1e300, -1e300, TimeTexts::latestTime + 1,
                              TimeTexts::earliestTime - 1, double(std::numeric_limits<std::int64_t>::max())}) {
        EXPECT_EQ(TimeTexts::formatTime(time, TimeFormat::clock, utc), QStringLiteral("--:--")) << time;
        EXPECT_EQ(TimeTexts::formatTime(time, TimeFormat::week, utc), QStringLiteral("--:--")) << time;
    }
    EXPECT_EQ(TimeTexts::formatTime(TimeTexts::latestTime, TimeFormat::week, utc), QStringLiteral("Fri 11:59 PM"));
    EXPECT_EQ(TimeTexts::formatTime(TimeTexts::earliestTime, TimeFormat::clock, utc), QStringLiteral("12:00 AM"));
}

// Restores TZ when a test that changes it ends.
class ZoneChange : public ::testing::Test {
protected:
    void SetUp() override { saved_ = qgetenv("TZ"); hadTz_ = qEnvironmentVariableIsSet("TZ"); }
    void TearDown() override
    {
        if (hadTz_)
            qputenv("TZ", saved_);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray saved_;
    bool hadTz_ = false;
};

TEST_F(ZoneChange, SystemClockFollowsAZoneChangeWhileRunning)
{
    const SystemClock clock;
    qputenv("TZ", "America/New_York");
    tzset();
    EXPECT_EQ(TimeTexts::formatTime(now, TimeFormat::week, clock.timeZone()), QStringLiteral("Fri 3:00 AM"));
    qputenv("TZ", "Asia/Seoul");
    tzset();
    EXPECT_EQ(TimeTexts::formatTime(now, TimeFormat::week, clock.timeZone()), QStringLiteral("Fri 5:00 PM"));
    qputenv("TZ", "UTC");
    tzset();
    EXPECT_EQ(TimeTexts::formatTime(now, TimeFormat::clock, clock.timeZone()), QStringLiteral("8:00 AM"));
}

// The lines beyond the codex bucket: one answer with every part, then the edges that
// change what is shown (unknown values as sent, credits that cannot be spent).
TEST(AllowanceLines, EveryPartInMenuOrder)
{
    const TimeContext context{now, QTimeZone::utc()};
    UsageAllowance allowance;
    allowance.otherLimits = {{QStringLiteral("codex_bengalfox"), QStringLiteral("GPT-5.3-Codex-Spark"),
                              UsageWindow{40, 300, now + 3600}, UsageWindow{5, 10080, now + 86400}}};
    allowance.credits = Credits{true, false, QStringLiteral("125.5")};
    allowance.reached = QStringLiteral("workspace_member_credits_depleted");
    allowance.spendControl = SpendControl{30, now + 7200, std::nullopt, std::nullopt};
    allowance.resetCredits = ResetCredits{3, std::vector<ResetCredit>{
        {QStringLiteral("never"), {}, QStringLiteral("available"), {}, std::nullopt, {}, {}},
        {QStringLiteral("spent"), {}, QStringLiteral("redeemed"), {}, now + 60, {}, {}},
        {QStringLiteral("late"), {}, QStringLiteral("available"), {}, now + 200000, {}, {}},
        {QStringLiteral("soon"), {}, std::nullopt, {}, now + 70800, {}, {}},
    }};

    const AllowanceLines lines = AllowanceLines::make(allowance, TimeDisplayMode::resetAt, context);
    ASSERT_EQ(lines.otherLimits.size(), 1u);
    EXPECT_EQ(lines.otherLimits[0].title, QStringLiteral("GPT-5.3-Codex-Spark"));
    EXPECT_EQ(lines.otherLimits[0].lines, QStringList({QStringLiteral("5h 남음: 60%"), QStringLiteral("5h 갱신: 9:00 AM"),
                                                       QStringLiteral("Week 남음: 95%"), QStringLiteral("Week 갱신: Sat 8:00 AM")}));
    EXPECT_EQ(lines.lines, QStringList({QStringLiteral("크레딧 잔액: 125.5"),
                                        QStringLiteral("한도 도달: 워크스페이스 크레딧 소진 (관리자에게 문의)"),
                                        QStringLiteral("지출 한도 남음: 30%"), QStringLiteral("지출 한도 갱신: Fri 10:00 AM"),
                                        QStringLiteral("한도 리셋 3개"), QStringLiteral("한도 리셋 만료까지: 19시간 40분")}));
    EXPECT_TRUE(lines.canUseReset);
    EXPECT_EQ(AllowanceLines::soonestCredit(allowance)->id, QStringLiteral("soon"));

    allowance.credits = Credits{false, true, std::nullopt};
    allowance.reached = QStringLiteral("something_new");
    allowance.spendControl.reset();
    allowance.resetCredits = ResetCredits{1, std::nullopt}; // only the count is known
    EXPECT_EQ(AllowanceLines::make(allowance, TimeDisplayMode::remaining, context).lines,
              QStringList({QStringLiteral("크레딧: 무제한"), QStringLiteral("한도 도달: something_new"),
                           QStringLiteral("한도 리셋 1개")}));
    EXPECT_FALSE(AllowanceLines::soonestCredit(allowance));

    allowance.credits = Credits{false, false, QStringLiteral("0")};
    allowance.reached.reset();
    allowance.resetCredits = ResetCredits{0, std::vector<ResetCredit>{}};
    const AllowanceLines none = AllowanceLines::make(allowance, TimeDisplayMode::resetAt, context);
    EXPECT_TRUE(none.lines.isEmpty());
    EXPECT_FALSE(none.canUseReset);
}

} // namespace
} // namespace tallyglass::test
