#include "app/RecentReadings.h"
#include "tests/app/DelegateHarness.h"

#include <gtest/gtest.h>

namespace tallyglass::test {
namespace {

const QString rejectedInterval = QStringLiteral("자동 갱신은 30~86400초 사이여야 함");
constexpr double now = 1'800'000'000;                 // Fri 8:00 AM UTC
constexpr double inThreeHoursFive = now + 3 * 3600 + 300; // 11:05 AM

UsageSnapshot bothWindows()
{
    return UsageSnapshot{window(37, inThreeHoursFive), window(12, now + 3 * 86400, 10080), now - 60};
}

struct TitleRow {
    const char* name;
    std::function<void(DelegateHarness&)> reach;
    const char* mode; // stored timeDisplayMode, or nullptr
    QString title;
    QString toolTip;
    QString badge;
    bool marked = false; // the badge is drawn with the mark of a status text
};

void PrintTo(const TitleRow& row, std::ostream* out)
{
    *out << row.name;
}

class TitleTable : public ::testing::TestWithParam<TitleRow> {};

TEST_P(TitleTable, TitleToolTipAndBadge)
{
    const TitleRow& row = GetParam();
    DelegateHarness h;
    if (row.mode)
        h.settings->values.insert(QStringLiteral("timeDisplayMode"), QString::fromLatin1(row.mode));
    h.launch();
    row.reach(h);
    EXPECT_EQ(h.item->title(), row.title);
    EXPECT_EQ(h.item->toolTip(), row.toolTip);
    EXPECT_EQ(h.item->badge(), row.badge);
    EXPECT_EQ(h.item->badgeMarked(), row.marked);
}

void rejectTypedInterval(DelegateHarness& h)
{
    h.dialog->replies.push_back(QStringLiteral("5"));
    h.delegate->setCustomRefreshInterval();
}

INSTANTIATE_TEST_SUITE_P(
    AppDelegate, TitleTable,
    ::testing::Values(
        TitleRow{"FiveHourClock", [](auto& h) { h.deliver(bothWindows()); }, nullptr, "63% (11:05 AM)",
                 "5시간 한도 남음", "63"},
        TitleRow{"FiveHourCountdown", [](auto& h) { h.deliver(bothWindows()); }, "remaining", "63% (3h 5m)",
                 "5시간 한도 남음", "63"},
        TitleRow{"FiveHourWithOwnMessage",
                 [](auto& h) {
                     h.deliver(bothWindows());
                     rejectTypedInterval(h);
                 },
                 nullptr, "63% (11:05 AM) !", rejectedInterval, "63", true},
        TitleRow{"StatusWithoutSnapshot", [](auto& h) { h.deliverStatus(QStringLiteral("연결 끊김")); }, nullptr,
                 "!", "연결 끊김", "!"},
        TitleRow{"WeekOnlyWithOwnMessage",
                 [](auto& h) {
                     h.deliver(UsageSnapshot{std::nullopt, window(12, now + 60, 10080), now});
                     rejectTypedInterval(h);
                 },
                 nullptr, "!", rejectedInterval, "!"},
        TitleRow{"NoData", [](auto& h) { h.deliverStatus(std::nullopt); }, nullptr, "--% (--:--)",
                 "5시간 사용량 데이터 없음", "--"},
        TitleRow{"WeekOnly", [](auto& h) { h.deliver(UsageSnapshot{std::nullopt, window(12, now + 60, 10080), now}); },
                 "remaining", "--% (--:--)", "조회 응답에 5시간 데이터 없음", "--"},
        TitleRow{"NoResetTimeClock", [](auto& h) { h.deliver(UsageSnapshot{window(37, std::nullopt), {}, now}); },
                 nullptr, "63% (--:--)", "5시간 한도 남음", "63"},
        TitleRow{"NoResetTimeCountdown",
                 [](auto& h) { h.deliver(UsageSnapshot{window(37, std::nullopt), {}, now}); }, "remaining",
                 "63% (--:--)", "5시간 한도 남음", "63"},
        TitleRow{"AllUsed", [](auto& h) { h.deliver(UsageSnapshot{window(100, now - 90), {}, now}); }, "remaining",
                 "0% (0m)", "5시간 한도 남음", "0"},
        TitleRow{"CapitalisedModeIsClock", [](auto& h) { h.deliver(bothWindows()); }, "Remaining",
                 "63% (11:05 AM)", "5시간 한도 남음", "63"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AppDelegate, ConstructionStartsNothing)
{
    DelegateHarness h;
    EXPECT_TRUE(h.log->empty());
    EXPECT_EQ(h.liveRefreshTimers + h.liveCountdownTimers, 0);
    EXPECT_FALSE(h.item->onClick);
}

TEST(AppDelegate, LaunchShowsEllipsisStartsClientAndArmsBothTimers)
{
    DelegateHarness h;
    h.launch();
    EXPECT_EQ(h.item->title(), QStringLiteral("…"));
    EXPECT_EQ(h.item->toolTip(), QStringLiteral("Codex 사용량"));
    EXPECT_EQ(h.item->badge(), QStringLiteral("…"));
    EXPECT_EQ(*h.log, EventLog{"client.start"});
    ASSERT_EQ(h.liveRefreshTimers, 1);
    EXPECT_EQ(h.refreshTimer->interval(), std::chrono::seconds(60));
    ASSERT_EQ(h.liveCountdownTimers, 1);
    EXPECT_EQ(h.countdownTimer->interval(), std::chrono::seconds(30));

    h.refreshTimer->fire();
    EXPECT_EQ(h.count("client.refresh"), 1);
    EXPECT_EQ(h.item->title(), QStringLiteral("…")) << "a timer refresh leaves the title alone";
}

TEST(AppDelegate, StatusAndSnapshotReplaceEachOther)
{
    DelegateHarness h;
    h.launch();
    h.deliver(bothWindows());
    h.deliverStatus(std::nullopt);
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM)")) << "an absent status keeps the snapshot";
    h.deliverStatus(QStringLiteral("문제"));
    EXPECT_EQ(h.item->title(), QStringLiteral("!"));
    h.deliver(bothWindows());
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM)"));
    EXPECT_EQ(h.item->toolTip(), QStringLiteral("5시간 한도 남음"));
}

TEST(AppDelegate, CountdownTickRedrawsOnlyInRemainingMode)
{
    for (const char* mode : {"", "resetAt", "remaining", "REMAINING"}) {
        SCOPED_TRACE(mode);
        DelegateHarness h;
        if (*mode)
            h.settings->values.insert(QStringLiteral("timeDisplayMode"), QString::fromLatin1(mode));
        h.launch();
        h.countdownTimer->fire();
        const bool remaining = QLatin1String(mode) == QLatin1String("remaining");
        EXPECT_EQ(h.item->title(), remaining ? QStringLiteral("--% (--:--)") : QStringLiteral("…"));

        h.deliver(bothWindows());
        h.clock->now_ += 120;
        h.countdownTimer->fire();
        EXPECT_EQ(h.item->title(), remaining ? QStringLiteral("63% (3h 3m)") : QStringLiteral("63% (11:05 AM)"));
    }
}

TEST(AppDelegate, StoredZeroMeansNoRefreshTimerButCountdownStillRuns)
{
    DelegateHarness h;
    h.settings->values.insert(QStringLiteral("refreshIntervalSeconds"), 0.0);
    h.launch();
    EXPECT_EQ(h.liveRefreshTimers, 0);
    ASSERT_EQ(h.liveCountdownTimers, 1);
    EXPECT_TRUE(h.countdownTimer->active());
}

TEST(AppDelegate, FractionalIntervalKeepsItsFraction)
{
    DelegateHarness h;
    h.settings->values.insert(QStringLiteral("refreshIntervalSeconds"), 90.7);
    h.launch();
    ASSERT_EQ(h.liveRefreshTimers, 1);
    EXPECT_EQ(h.refreshTimer->interval(), std::chrono::milliseconds(90'700));
}

TEST(AppDelegate, TerminationStopsBothTimersBeforeTheClient)
{
    DelegateHarness h;
    h.launch();
    h.log->clear();
    h.delegate->applicationWillTerminate();
    EXPECT_EQ(*h.log, (EventLog{"refreshTimer.stop", "countdownTimer.stop", "client.stop"}));
    h.refreshTimer->fire();
    h.countdownTimer->fire();
    EXPECT_EQ(h.count("client.refresh"), 0);
}

TEST(AppDelegate, QuitAsksTheApplicationToTerminate)
{
    DelegateHarness h;
    h.launch();
    h.delegate->quit();
    EXPECT_EQ(h.count("terminate"), 1);
    EXPECT_EQ(h.count("client.stop"), 0) << "the client stops on the terminate path, not here";
}

TEST(AppDelegate, LeftClickRefreshesRightClickDoesNot)
{
    DelegateHarness h;
    h.launch();
    h.deliver(bothWindows());
    h.item->onClick(StatusClick::rightUp);
    EXPECT_EQ(h.count("client.refresh"), 0);
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM)"));

    h.item->onClick(StatusClick::leftUp);
    EXPECT_EQ(h.count("client.refresh"), 1);
    EXPECT_EQ(h.item->title(), QStringLiteral("↻"));
    EXPECT_EQ(h.item->badge(), QStringLiteral("↻"));
    EXPECT_EQ(h.item->toolTip(), QStringLiteral("5시간 한도 남음")) << "the tooltip stays while refreshing";
    h.deliver(bothWindows());
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM)"));
    EXPECT_EQ(h.item->badge(), QStringLiteral("63"));
}

TEST(AppDelegate, OpenCodexOpensTheCodexPage)
{
    DelegateHarness h;
    h.delegate->openCodex();
    ASSERT_EQ(h.openedUrls.size(), 1u);
    EXPECT_EQ(h.openedUrls[0], QUrl(QStringLiteral("https://chatgpt.com/codex")));
}

TEST(AppDelegate, SelectTimeDisplayModeStoresItsTextAndRedraws)
{
    DelegateHarness h;
    h.launch();
    h.deliver(bothWindows());
    h.delegate->selectTimeDisplayMode(TimeDisplayMode::remaining);
    EXPECT_EQ(h.settings->values.value(QStringLiteral("timeDisplayMode")), QVariant(QStringLiteral("remaining")));
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (3h 5m)"));
    h.delegate->selectTimeDisplayMode(TimeDisplayMode::resetAt);
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM)"));
}

TEST(AppDelegate, PresetsAndOffReplaceTheOneRefreshTimer)
{
    DelegateHarness h;
    h.launch();
    h.delegate->selectRefreshInterval(0.0);
    EXPECT_EQ(h.settings->values.value(QStringLiteral("refreshIntervalSeconds")), QVariant(0.0));
    EXPECT_EQ(h.liveRefreshTimers, 0);

    h.delegate->selectRefreshInterval(300.0);
    h.delegate->selectRefreshInterval(300.0);
    EXPECT_EQ(h.settings->values.value(QStringLiteral("refreshIntervalSeconds")), QVariant(300.0));
    ASSERT_EQ(h.liveRefreshTimers, 1);
    EXPECT_EQ(h.refreshTimer->interval(), std::chrono::seconds(300));
}

TEST(AppDelegate, DialogPrefillFollowsTheEffectiveInterval)
{
    const std::vector<std::pair<QVariant, QString>> cases{
        {QVariant(), QStringLiteral("60")},
        {QVariant(0.0), QStringLiteral("60")},
        {QVariant(90.7), QStringLiteral("90")},
        {QVariant(86400.0), QStringLiteral("86400")},
        {QVariant(10.0), QStringLiteral("60")},
    };
    for (const auto& [stored, prefill] : cases) {
        SCOPED_TRACE(stored.toString().toStdString());
        DelegateHarness h;
        if (stored.isValid())
            h.settings->values.insert(QStringLiteral("refreshIntervalSeconds"), stored);
        h.delegate->setCustomRefreshInterval();
        ASSERT_EQ(h.dialog->prefills.size(), 1u);
        EXPECT_EQ(h.dialog->prefills[0], prefill);
    }
}

TEST(AppDelegate, TypedIntervalsAccepted)
{
    const std::vector<std::pair<QString, double>> cases{
        {QStringLiteral("30"), 30}, {QStringLiteral("86400"), 86400}, {QStringLiteral("90.5"), 90.5},
        {QStringLiteral("1e2"), 100}, {QStringLiteral("+45"), 45},    {QStringLiteral("0x40"), 64},
    };
    for (const auto& [typed, seconds] : cases) {
        SCOPED_TRACE(typed.toStdString());
        DelegateHarness h;
        h.launch();
        h.deliverStatus(QStringLiteral("이전 문제"));
        h.dialog->replies.push_back(typed);
        h.delegate->setCustomRefreshInterval();
        EXPECT_EQ(h.settings->values.value(QStringLiteral("refreshIntervalSeconds")).toDouble(), seconds);
        ASSERT_EQ(h.liveRefreshTimers, 1);
        EXPECT_EQ(h.refreshTimer->interval(), std::chrono::milliseconds(std::llround(seconds * 1000)));
        EXPECT_EQ(h.item->toolTip(), QStringLiteral("이전 문제")) << "an existing message stays";
    }
}

TEST(AppDelegate, TypedIntervalsRejected)
{
    for (const QString& typed : {QStringLiteral("29"), QStringLiteral("86401"), QStringLiteral("0"), QString(),
                                QStringLiteral("abc"), QStringLiteral(" 120"), QStringLiteral("120 "),
                                QStringLiteral("nan"), QStringLiteral("inf"), QStringLiteral("-60"),
                                QStringLiteral("120초"), QStringLiteral("1,5e2"), QStringLiteral("\t60")}) {
        SCOPED_TRACE(typed.toStdString());
        DelegateHarness h;
        h.settings->values.insert(QStringLiteral("refreshIntervalSeconds"), 300.0);
        h.launch();
        h.deliver(bothWindows());
        FakeTimer* before = h.refreshTimer;
        h.dialog->replies.push_back(typed);
        h.delegate->setCustomRefreshInterval();
        EXPECT_EQ(h.settings->values.value(QStringLiteral("refreshIntervalSeconds")), QVariant(300.0));
        EXPECT_EQ(h.refreshTimer, before);
        EXPECT_TRUE(h.refreshTimer->active());
        EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM) !"));
        EXPECT_EQ(h.item->toolTip(), rejectedInterval);
    }
}

TEST(AppDelegate, CancelledDialogChangesNothing)
{
    DelegateHarness h;
    h.launch();
    h.delegate->setCustomRefreshInterval();
    EXPECT_FALSE(h.settings->values.contains(QStringLiteral("refreshIntervalSeconds")));
    EXPECT_EQ(h.item->title(), QStringLiteral("…"));
}

TEST(AppDelegate, ToggleLaunchAtLogin)
{
    DelegateHarness h;
    h.launch();
    h.deliver(bothWindows());
    h.delegate->toggleLaunchAtLogin();
    h.delegate->toggleLaunchAtLogin();
    EXPECT_EQ(h.login->calls, (std::vector<std::string>{"register", "unregister"}));

    h.login->fails = true;
    h.delegate->toggleLaunchAtLogin();
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM)")) << "a failure is not drawn at once";
    QMenu& menu = h.openMenu();
    const QList<QAction*> items = menu.actions();
    EXPECT_TRUE(std::any_of(items.begin(), items.end(),
                            [](QAction* a) { return a->text() == QStringLiteral("로그인 실행 설정 실패"); }));
    h.countdownTimer->fire();
    h.delegate->selectTimeDisplayMode(TimeDisplayMode::resetAt);
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM) !"));
    EXPECT_EQ(h.item->toolTip(), QStringLiteral("로그인 실행 설정 실패"));
}

TEST(RecentReadings, StoredOnesComeFirstAndAWeekIsKept)
{
    const auto at = [](double t) { return UsageSnapshot{window(1, std::nullopt), {}, t}; };
    const auto times = [](const RecentReadings& r) {
        std::vector<double> out;
        for (const UsageSnapshot& s : r.readings())
            out.push_back(s.receivedAt - now);
        return out;
    };
    constexpr double week = RecentReadings::keptSeconds;
    RecentReadings recent;
    recent.add(at(now), now);
    recent.addStored({at(now - week), at(now - 60)}); // the store answers after the first reading
    EXPECT_EQ(times(recent), (std::vector<double>{-week, -60, 0}));
    recent.add(at(now + 1), now + 1);
    EXPECT_EQ(times(recent), (std::vector<double>{-60, 0, 1})) << "older than a week before the newest";
}

} // namespace
} // namespace tallyglass::test
