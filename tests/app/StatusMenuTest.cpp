#include "tests/app/DelegateHarness.h"

#include <QAction>
#include <gtest/gtest.h>

namespace tallyglass::test {
namespace {

constexpr double now = 1'800'000'000; // Fri 8:00 AM UTC

// One line per item: "---" for a separator, else the text with its traits:
// "~" disabled, "[x]"/"[ ]" checkable and its state, "{Ctrl+R}" shortcut, ">" submenu.
std::vector<std::string> describe(const QMenu& menu)
{
    std::vector<std::string> lines;
    for (const QAction* item : menu.actions()) {
        if (item->isSeparator()) {
            lines.push_back("---");
            continue;
        }
        std::string line = item->text().toStdString();
        if (!item->isEnabled())
            line += " ~";
        if (item->isCheckable())
            line += item->isChecked() ? " [x]" : " [ ]";
        if (!item->shortcut().isEmpty())
            line += " {" + item->shortcut().toString(QKeySequence::PortableText).toStdString() + "}";
        if (item->menu())
            line += " >";
        lines.push_back(line);
    }
    return lines;
}

const QMenu& submenu(const QMenu& menu, const QString& title)
{
    for (const QAction* item : menu.actions())
        if (item->text() == title && item->menu())
            return *item->menu();
    throw std::runtime_error("no submenu " + title.toStdString());
}

QAction* item(const QMenu& menu, const QString& title)
{
    for (QAction* action : menu.actions())
        if (action->text() == title)
            return action;
    throw std::runtime_error("no item " + title.toStdString());
}

const std::vector<std::string> commands{
    "---",
    "새로고침 {Ctrl+R}",
    "사용 기록…",
    "자동 갱신 >",
    "한도 알림 >",
    "시간 표시 >",
    "로그인 시 실행 [ ]",
    "Codex 열기",
    "---",
    "종료 {Ctrl+Q}",
};

std::vector<std::string> withCommands(std::vector<std::string> head)
{
    head.insert(head.end(), commands.begin(), commands.end());
    return head;
}

TEST(StatusMenu, BeforeAnyData)
{
    DelegateHarness h;
    h.launch();
    EXPECT_EQ(describe(h.openMenu()), withCommands({"5h: 데이터 없음 ~", "---", "Week: 데이터 없음 ~"}));
}

TEST(StatusMenu, BothWindowsWithMessageInClockMode)
{
    DelegateHarness h;
    h.launch();
    h.deliver(UsageSnapshot{window(37, now + 3 * 3600 + 300), window(12, now + 3 * 86400 + 4 * 3600, 10080),
                            now - 13 * 60});
    h.dialog->replies.push_back(QStringLiteral("1"));
    h.delegate->setCustomRefreshInterval();
    EXPECT_EQ(describe(h.openMenu()), withCommands({
                                          "5h 남음: 63% ~",
                                          "5h 갱신: 11:05 AM ~",
                                          "---",
                                          "Week 남음: 88% ~",
                                          "Week 갱신: Mon 12:00 PM ~",
                                          "---",
                                          "자동 갱신은 30~86400초 사이여야 함 ~",
                                          "확인: 7:47 AM ~",
                                      }));
}

TEST(StatusMenu, BothWindowsInCountdownMode)
{
    DelegateHarness h;
    h.settings->values.insert(QStringLiteral("timeDisplayMode"), QStringLiteral("remaining"));
    h.launch();
    h.deliver(UsageSnapshot{window(0, now + 59 * 60 + 1), window(100, now + 3 * 86400 + 4 * 3600 + 59 * 60, 10080),
                            now});
    EXPECT_EQ(describe(h.openMenu()), withCommands({
                                          "5h 남음: 100% ~",
                                          "5h 남은 시간: 1시간 0분 ~",
                                          "---",
                                          "Week 남음: 0% ~",
                                          "Week 남은 시간: 3일 4시간 ~",
                                          "확인: 8:00 AM ~",
                                      }));
}

TEST(StatusMenu, WeekOnlySnapshot)
{
    DelegateHarness h;
    h.launch();
    h.deliver(UsageSnapshot{std::nullopt, window(12, std::nullopt, 10080), now});
    EXPECT_EQ(describe(h.openMenu()), withCommands({
                                          "5h: 조회 응답에 5시간 데이터 없음 ~",
                                          "---",
                                          "Week 남음: 88% ~",
                                          "Week: 데이터 없음 ~",
                                          "확인: 8:00 AM ~",
                                      }));
}

TEST(StatusMenu, FiveHourOnlySnapshot)
{
    DelegateHarness h;
    h.launch();
    h.deliver(UsageSnapshot{window(37, now + 3600), std::nullopt, now});
    EXPECT_EQ(describe(h.openMenu()), withCommands({
                                          "5h 남음: 63% ~",
                                          "5h 갱신: 9:00 AM ~",
                                          "---",
                                          "Week: 데이터 없음 ~",
                                          "확인: 8:00 AM ~",
                                      }));
}

TEST(StatusMenu, StatusMessageWithoutSnapshot)
{
    DelegateHarness h;
    h.launch();
    h.deliverStatus(QStringLiteral("codex를 찾을 수 없음"));
    EXPECT_EQ(describe(h.openMenu()), withCommands({
                                          "5h: 데이터 없음 ~",
                                          "---",
                                          "Week: 데이터 없음 ~",
                                          "---",
                                          "codex를 찾을 수 없음 ~",
                                      }));
}

TEST(StatusMenu, TheWholeAllowanceFollowsTheWindowsAndUsingAResetAsksFirst)
{
    DelegateHarness h;
    h.launch();
    const double soon = now + 19 * 3600 + 40 * 60;
    UsageAllowance allowance;
    allowance.otherLimits = {LimitBucket{QStringLiteral("codex_bengalfox"), QStringLiteral("GPT-5.3-Codex-Spark"),
                                         window(40, now + 3600 + 300), window(5, now + 3 * 86400, 10080)}};
    allowance.credits = Credits{true, false, QStringLiteral("125.5")};
    allowance.reached = QStringLiteral("rate_limit_reached");
    ResetCredit later, first;
    later.id = QStringLiteral("later");
    later.expiresAt = now + 3 * 86400;
    first.id = QStringLiteral("soon");
    first.expiresAt = soon;
    allowance.resetCredits = ResetCredits{2, std::vector<ResetCredit>{later, first}};
    const UsageSnapshot reading{window(37, now + 3 * 3600 + 300), window(12, now + 3 * 86400, 10080), now};
    h.deliver(reading, allowance);
    EXPECT_EQ(describe(h.openMenu()), withCommands({
                                          "5h 남음: 63% ~",
                                          "5h 갱신: 11:05 AM ~",
                                          "---",
                                          "Week 남음: 88% ~",
                                          "Week 갱신: Mon 8:00 AM ~",
                                          "---",
                                          "GPT-5.3-Codex-Spark >",
                                          "크레딧 잔액: 125.5 ~",
                                          "한도 도달: 사용 한도 ~",
                                          "한도 리셋 2개 ~",
                                          "한도 리셋 만료까지: 19시간 40분 ~",
                                          "한도 리셋 사용…",
                                          "확인: 8:00 AM ~",
                                      }));
    EXPECT_EQ(describe(submenu(h.menu, QStringLiteral("GPT-5.3-Codex-Spark"))),
              (std::vector<std::string>{"5h 남음: 60% ~", "5h 갱신: 9:05 AM ~", "Week 남음: 95% ~",
                                        "Week 갱신: Mon 8:00 AM ~"}));

    h.deliverStatus(ClientStatus::checkingAccount());
    item(h.menu, QStringLiteral("한도 리셋 사용…"))->trigger();
    EXPECT_EQ(h.count("client.useResetCredit pending-reset soon"), 0) << "취소 spends nothing";
    h.deliver(reading, allowance);
    h.resetDialog->answer = true;
    item(h.menu, QStringLiteral("한도 리셋 사용…"))->trigger();
    EXPECT_EQ(h.resetDialog->questions,
              std::vector<QString>(2, QStringLiteral("5h 남음: 63% | Week 남음: 88% | 2")));
    EXPECT_EQ(h.count("client.useResetCredit pending-reset soon"), 1) << "the soonest-expiring credit";

    // A reset's status sits beside the reading; any other status replaces it, allowance and all.
    h.deliverStatus(ClientStatus::resetUnderway());
    EXPECT_EQ(describe(h.openMenu())[13], "한도 리셋 사용 중… ~");
    EXPECT_EQ(h.item->title(), QStringLiteral("63% (11:05 AM) !"));
    h.deliverStatus(ClientStatus::signedOut());
    EXPECT_EQ(describe(h.openMenu())[2], "Week: 데이터 없음 ~");
    EXPECT_EQ(describe(h.menu)[4], ClientStatus::signedOut().text.toStdString() + " ~");
    h.deliver(reading);
    EXPECT_EQ(describe(h.openMenu())[5], "확인: 8:00 AM ~") << "a reading without an allowance from an older CLI";
}

TEST(StatusMenu, ForecastLinesFollowTheTimeLinesWhenTheRecentPaceEndsBeforeTheReset)
{
    // Five-hour: 10% more every 10 minutes, 30% used at 8:00, reset at 11:05: used up at 9:10.
    // Week: no rise, so no forecast.
    const double fiveReset = now + 3 * 3600 + 300, weekReset = now + 3 * 86400;
    for (const auto& [mode, lines] : std::vector<std::pair<QString, std::vector<std::string>>>{
             {QStringLiteral("resetAt"),
              {"5h 남음: 70% ~", "5h 갱신: 11:05 AM ~", "5h 소진 예상: 9:10 AM ~", "---", "Week 남음: 80% ~",
               "Week 갱신: Mon 8:00 AM ~", "확인: 8:00 AM ~"}},
             {QStringLiteral("remaining"),
              {"5h 남음: 70% ~", "5h 남은 시간: 3시간 5분 ~", "5h 소진까지: 1시간 10분 ~", "---", "Week 남음: 80% ~",
               "Week 남은 시간: 3일 0시간 ~", "확인: 8:00 AM ~"}}}) {
        SCOPED_TRACE(mode.toStdString());
        DelegateHarness h;
        h.settings->values.insert(QStringLiteral("timeDisplayMode"), mode);
        h.launch();
        for (int i = 0; i < 4; ++i)
            h.deliver(UsageSnapshot{window(i * 10, fiveReset), window(20, weekReset, 10080), now - (3 - i) * 600});
        EXPECT_EQ(describe(h.openMenu()), withCommands(lines));
        // Past the reset (the clock moved on, no new reading), the line goes.
        h.clock->now_ = fiveReset + 60;
        h.deliver(UsageSnapshot{window(5, fiveReset + 5 * 3600), window(20, weekReset, 10080), fiveReset + 60});
        EXPECT_EQ(describe(h.openMenu())[2], "---");
    }
}

TEST(StatusMenu, UsageAlertSubmenuChecksAndStores)
{
    for (const auto& [stored, lines] : std::vector<std::pair<QVariant, std::vector<std::string>>>{
             {QVariant(), {"끄기 [ ]", "25% 남았을 때 [ ]", "10% 남았을 때 [x]", "5% 남았을 때 [ ]"}},
             {QVariant(0), {"끄기 [x]", "25% 남았을 때 [ ]", "10% 남았을 때 [ ]", "5% 남았을 때 [ ]"}},
             {QVariant(QStringLiteral("25")), {"끄기 [ ]", "25% 남았을 때 [x]", "10% 남았을 때 [ ]", "5% 남았을 때 [ ]"}},
             {QVariant(7), {"끄기 [ ]", "25% 남았을 때 [ ]", "10% 남았을 때 [x]", "5% 남았을 때 [ ]"}},
             {QVariant(QStringLiteral("5x")), {"끄기 [ ]", "25% 남았을 때 [ ]", "10% 남았을 때 [x]", "5% 남았을 때 [ ]"}},
         }) {
        SCOPED_TRACE(stored.toString().toStdString());
        DelegateHarness h;
        if (stored.isValid())
            h.settings->values.insert(QStringLiteral("usageAlertPercent"), stored);
        h.launch();
        EXPECT_EQ(describe(submenu(h.openMenu(), QStringLiteral("한도 알림"))), lines);
    }
    DelegateHarness h;
    h.launch();
    item(submenu(h.openMenu(), QStringLiteral("한도 알림")), QStringLiteral("5% 남았을 때"))->trigger();
    EXPECT_EQ(h.settings->values.value(QStringLiteral("usageAlertPercent")).toInt(), 5);
    item(submenu(h.openMenu(), QStringLiteral("한도 알림")), QStringLiteral("끄기"))->trigger();
    EXPECT_EQ(h.settings->values.value(QStringLiteral("usageAlertPercent")), QVariant(0));
}

TEST(StatusMenu, RefreshIntervalSubmenuChecks)
{
    struct Case {
        QVariant stored;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases{
        {QVariant(), {"30초 [ ]", "1분 [x]", "5분 [ ]", "10분 [ ]", "---", "직접 설정…", "끄기 [ ]"}},
        {QVariant(0.0), {"30초 [ ]", "1분 [ ]", "5분 [ ]", "10분 [ ]", "---", "직접 설정…", "끄기 [x]"}},
        {QVariant(120.0), {"30초 [ ]", "1분 [ ]", "5분 [ ]", "10분 [ ]", "---", "직접 설정…", "끄기 [ ]"}},
        {QVariant(10.0), {"30초 [ ]", "1분 [x]", "5분 [ ]", "10분 [ ]", "---", "직접 설정…", "끄기 [ ]"}},
        {QVariant(QStringLiteral("600")), {"30초 [ ]", "1분 [ ]", "5분 [ ]", "10분 [x]", "---", "직접 설정…", "끄기 [ ]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.toString().toStdString());
        DelegateHarness h;
        if (c.stored.isValid())
            h.settings->values.insert(QStringLiteral("refreshIntervalSeconds"), c.stored);
        h.launch();
        EXPECT_EQ(describe(submenu(h.openMenu(), QStringLiteral("자동 갱신"))), c.lines);
    }
}

TEST(StatusMenu, TimeDisplaySubmenuChecks)
{
    for (const auto& [stored, lines] : std::vector<std::pair<QVariant, std::vector<std::string>>>{
             {QVariant(), {"갱신 시각 [x]", "남은 시간 [ ]"}},
             {QVariant(QStringLiteral("resetAt")), {"갱신 시각 [x]", "남은 시간 [ ]"}},
             {QVariant(QStringLiteral("Remaining")), {"갱신 시각 [x]", "남은 시간 [ ]"}},
             {QVariant(QString()), {"갱신 시각 [x]", "남은 시간 [ ]"}},
             {QVariant(3), {"갱신 시각 [x]", "남은 시간 [ ]"}},
             {QVariant(QStringLiteral("remaining")), {"갱신 시각 [ ]", "남은 시간 [x]"}},
         }) {
        SCOPED_TRACE(stored.toString().toStdString());
        DelegateHarness h;
        if (stored.isValid())
            h.settings->values.insert(QStringLiteral("timeDisplayMode"), stored);
        h.launch();
        EXPECT_EQ(describe(submenu(h.openMenu(), QStringLiteral("시간 표시"))), lines);
    }
}

TEST(StatusMenu, ItemsCarryTheirRepresentedObjects)
{
    DelegateHarness h;
    h.launch();
    QMenu& menu = h.openMenu();
    const QMenu& intervals = submenu(menu, QStringLiteral("자동 갱신"));
    std::vector<QVariant> data;
    for (const QAction* a : intervals.actions())
        data.push_back(a->data());
    EXPECT_EQ(data, (std::vector<QVariant>{30.0, 60.0, 300.0, 600.0, QVariant(), QVariant(), 0.0}));
    const QMenu& modes = submenu(menu, QStringLiteral("시간 표시"));
    EXPECT_EQ(modes.actions()[0]->data(), QVariant(QStringLiteral("resetAt")));
    EXPECT_EQ(modes.actions()[1]->data(), QVariant(QStringLiteral("remaining")));
}

TEST(StatusMenu, TriggeringItemsRunsTheActions)
{
    DelegateHarness h;
    h.launch();
    QMenu& menu = h.openMenu();
    item(submenu(menu, QStringLiteral("자동 갱신")), QStringLiteral("5분"))->trigger();
    EXPECT_EQ(h.refreshTimer->interval(), std::chrono::seconds(300));
    item(submenu(menu, QStringLiteral("자동 갱신")), QStringLiteral("끄기"))->trigger();
    EXPECT_EQ(h.liveRefreshTimers, 0);
    item(submenu(menu, QStringLiteral("시간 표시")), QStringLiteral("남은 시간"))->trigger();
    EXPECT_EQ(h.settings->values.value(QStringLiteral("timeDisplayMode")), QVariant(QStringLiteral("remaining")));
    item(submenu(menu, QStringLiteral("자동 갱신")), QStringLiteral("직접 설정…"))->trigger();
    EXPECT_EQ(h.dialog->prefills.size(), 1u);
    item(menu, QStringLiteral("새로고침"))->trigger();
    EXPECT_EQ(h.count("client.refresh"), 1);
    h.deliver(UsageSnapshot{window(37, now + 3600), std::nullopt, now});
    item(menu, QStringLiteral("사용 기록…"))->trigger();
    EXPECT_EQ(h.shownHistories, std::vector<std::size_t>{1}) << "the window gets the readings kept so far";
    item(menu, QStringLiteral("로그인 시 실행"))->trigger();
    EXPECT_TRUE(h.login->registered);
    item(menu, QStringLiteral("Codex 열기"))->trigger();
    EXPECT_EQ(h.openedUrls.size(), 1u);
    item(menu, QStringLiteral("종료"))->trigger();
    EXPECT_EQ(h.count("terminate"), 1);

    // Each opening rebuilds from the current state.
    EXPECT_EQ(describe(submenu(h.openMenu(), QStringLiteral("시간 표시"))),
              (std::vector<std::string>{"갱신 시각 [ ]", "남은 시간 [x]"}));
    EXPECT_TRUE(item(h.menu, QStringLiteral("로그인 시 실행"))->isChecked());
    EXPECT_EQ(h.menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly).size(), 3)
        << "old submenus are dropped on rebuild";
}

} // namespace
} // namespace tallyglass::test
