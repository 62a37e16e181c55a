// Error answers, time-outs and the automatic reconnect, against real fake-codex processes.
#include "tests/client/ClientHarness.h"
#include "tests/client/StatusEvents.h"

namespace tallyglass {
namespace {

using namespace events;

const QString read = QStringLiteral("account/read");
const QString limits = QStringLiteral("account/rateLimits/read");
const QString accountTimedOut = QStringLiteral("status:계정 확인 시간 초과 — 새로고침으로 재연결");
const QString usageTimedOut = QStringLiteral("status:사용량 요청 시간 초과 — 새로고침으로 재연결");

QByteArray errorRule(const QString& method, const QByteArray& error, int nth = 1)
{
    return R"({"method": ")" + method.toUtf8() + R"(", "nth": )" + QByteArray::number(nth)
        + R"(, "actions": [{"error": )" + error + "}]}";
}

TEST(ClientRecovery, ErrorsThatEndTheCycleWithTheirText)
{
    struct Case {
        QString method;
        QByteArray error;
        QString text;
    };
    const QList<Case> cases = {
        {read, R"({"code": -32600, "message": "Invalid request"})", QStringLiteral("계정 확인 실패 (코드 -32600)")},
        {limits, R"({"code": 500, "message": "upstream unavailable"})", QStringLiteral("사용량 조회 실패 (코드 500)")},
        {read, R"({"message": "boom"})", QStringLiteral("계정 확인 실패 (코드 알 수 없음)")},
        {read, R"({"code": "401", "message": "nope"})", QStringLiteral("계정 확인 실패 (코드 알 수 없음)")},
        {limits, R"({"code": 1e300, "message": "x"})", QStringLiteral("사용량 조회 실패 (코드 알 수 없음)")},
        {limits, R"({"code": 402, "message": 401})", QStringLiteral("사용량 조회 실패 (코드 402)")},
        {read, R"({})", QStringLiteral("계정 확인 실패 (코드 알 수 없음)")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.toStdString());
        ClientHarness h;
        h.setScenario(R"({"rules": [)" + errorRule(c.method, c.error) + "]}");
        h.createClient().start();
        ASSERT_TRUE(h.waitForEvent(status(c.text)));
        // The refresh below and its assertion show anything that wrongly follows.
        const QStringList before = {loading, checking};
        EXPECT_EQ(h.events(), before + QStringList{status(c.text)});
        EXPECT_EQ(h.childCount(), 1) << "no reconnect";
        // The connection stays up and the next refresh starts a cycle on it.
        h.client().refresh();
        ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
        EXPECT_EQ(h.events(), before + QStringList{status(c.text)} + happyRefresh());
        EXPECT_EQ(h.childCount(), 1);
    }
}

TEST(ClientRecovery, RecoveryCodesAndAuthenticationMessagesReconnectOnce)
{
    struct Case {
        QString method;
        QByteArray error;
        QString reason;
    };
    const QList<Case> cases = {
        {read, R"({"code": 401})", QStringLiteral("계정 확인 실패 (코드 401)")},
        {read, R"({"code": 403, "message": "all good"})", QStringLiteral("계정 확인 실패 (코드 403)")},
        {limits, R"({"code": -32603, "message": ""})", QStringLiteral("사용량 조회 실패 (코드 -32603)")},
        {read, R"({"message": "Unauthorized"})", QStringLiteral("계정 확인 실패 (코드 알 수 없음)")},
        {read, R"({"code": "401", "message": "UNAUTHORIZED"})", QStringLiteral("계정 확인 실패 (코드 알 수 없음)")},
        {limits, R"({"code": 1, "message": "OAuth refresh failed"})", QStringLiteral("사용량 조회 실패 (코드 1)")},
        {limits, R"({"code": 1, "message": "max tokens exceeded"})", QStringLiteral("사용량 조회 실패 (코드 1)")},
        {read, R"({"code": 1, "message": "Forbidden"})", QStringLiteral("계정 확인 실패 (코드 1)")},
        {read, R"({"code": 1, "message": "please Log In again"})", QStringLiteral("계정 확인 실패 (코드 1)")},
        {read, R"({"code": 1, "message": "relogin"})", QStringLiteral("계정 확인 실패 (코드 1)")},
        {read, R"({"code": 1, "message": "SIGN IN required"})", QStringLiteral("계정 확인 실패 (코드 1)")},
        {read, R"({"code": 1, "message": "bad Credentials"})", QStringLiteral("계정 확인 실패 (코드 1)")},
        {read, R"({"code": 1, "message": "HTTP 401"})", QStringLiteral("계정 확인 실패 (코드 1)")},
        {read, R"({"code": 1, "message": "status=403;"})", QStringLiteral("계정 확인 실패 (코드 1)")},
        {read, R"({"code": -5, "message": "x-auth-header missing"})", QStringLiteral("계정 확인 실패 (코드 -5)")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.toStdString());
        ClientHarness h;
        h.setScenario(R"({"children": [{"rules": [)" + errorRule(c.method, c.error) + "]}, {}]}");
        h.createClient().start();
        ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
        ASSERT_TRUE(h.barrier());
        EXPECT_EQ(h.events(), QStringList({loading, checking, reconnecting(c.reason)}) + happyCycle());
        EXPECT_EQ(h.childCount(), 2);
    }
}

TEST(ClientRecovery, OneReconnectPerCycleAndACoolDownBetweenReconnects)
{
    ClientHarness h;
    const QByteArray unauthorized = R"({"code": 401, "message": "token expired"})";
    // Child 1 fails at once; child 2 fails in its first cycle, again in the next (within
    // the cool-down) and once more when the cool-down has passed; child 3 is happy.
    h.setScenario(R"({"children": [{"rules": [)" + errorRule(read, unauthorized) + R"(]},
                                    {"rules": [)" + errorRule(read, unauthorized, 1) + ", "
                  + errorRule(read, unauthorized, 2) + ", " + errorRule(read, unauthorized, 3) + R"(]},
                                    {}]})");
    CodexAppServerClient& client = h.createClient();
    client.start();
    const QString reason = QStringLiteral("계정 확인 실패 (코드 401)");
    ASSERT_TRUE(h.waitForEvent(refused(reason)));
    QStringList expected = {loading, checking, reconnecting(reason), loading, checking, refused(reason)};
    // Each refresh below and its assertion show anything that wrongly follows the step before.
    EXPECT_EQ(h.events(), expected) << "the second failure of a cycle is not retried";
    EXPECT_EQ(h.childCount(), 2);

    h.advanceWallClock(59.5);
    client.refresh();
    ASSERT_TRUE(h.waitForEvent(refused(reason), 5000, expected.size()));
    expected += {checking, refused(reason)};
    EXPECT_EQ(h.events(), expected) << "a new cycle within the cool-down is not retried";

    h.advanceWallClock(0.5); // exactly the cool-down since the reconnect
    client.refresh();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    expected += QStringList({checking, reconnecting(reason)}) + happyCycle();
    EXPECT_EQ(h.events(), expected);
    EXPECT_EQ(h.childCount(), 3);
    const QStringList cycle = {QStringLiteral("initialize"), QStringLiteral("initialized"), read};
    EXPECT_EQ(h.receivedMethods(2), cycle + QStringList({read, read})) << "the refused connection stayed up";
}

TEST(ClientRecovery, AClockSetBackRefusesTheReconnect)
{
    ClientHarness h;
    h.setScenario(R"({"children": [{"rules": [)" + errorRule(read, R"({"code": 403})") + R"(]},
                                    {"rules": [)" + errorRule(read, R"({"code": 403})", 3) + "]}]}");
    CodexAppServerClient& client = h.createClient();
    client.start();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    h.advanceWallClock(-3600);
    client.refresh();
    const QString reason = QStringLiteral("계정 확인 실패 (코드 403)");
    ASSERT_TRUE(h.waitForEvent(refused(reason)));
    EXPECT_EQ(h.events(), QStringList({loading, checking, reconnecting(reason)}) + happyCycle()
                              + QStringList({checking, refused(reason)}));
}

TEST(ClientRecovery, AReadingTakenBeforeAFailureIsNeverPublished)
{
    const QString unauthorized = QStringLiteral("계정 확인 실패 (코드 401)");
    const QString changed = QStringLiteral("Codex 계정 변경 감지");
    struct Case {
        const char* name;
        QByteArray scenario;
        double requestTimeout;
        QStringList events;
        bool connected; // the connection stays up, and its next cycle is happy
    };
    // In each case the usage has been read and waits for the confirming account read.
    const QList<Case> cases = {
        {"confirming read fails, reconnect, fails again with a plain error",
         R"({"children": [{"rules": [)" + errorRule(read, R"({"code": 401})", 2) + R"(]},
                          {"rules": [)" + errorRule(read, R"({"code": 7, "message": "x"})", 2) + "]}]}",
         20, {loading, checking, reconnecting(unauthorized), loading, checking,
              status(QStringLiteral("계정 확인 실패 (코드 7)"))}, true},
        {"confirming read fails twice: the reconnect is refused",
         R"({"children": [{"rules": [)" + errorRule(read, R"({"code": 401})", 2) + R"(]},
                          {"rules": [)" + errorRule(read, R"({"code": -32603})", 2) + "]}]}",
         20, {loading, checking, reconnecting(unauthorized), loading, checking,
              refused(QStringLiteral("계정 확인 실패 (코드 -32603)"))}, true},
        // Long enough for the launch and the first three answers even on a busy machine.
        {"confirming read times out", R"({"rules": [{"method": "account/read", "nth": 2, "actions": []}]})", 1.5,
         {loading, checking, accountTimedOut}, false},
        {"confirming read shows nobody signed in, twice",
         R"({"rules": [{"method": "account/read", "nth": 2, "actions": [{"result": {"account": null}}]}]})", 20,
         {loading, checking, reconnecting(changed), loading, checking, refused(changed)}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        h.setScenario(c.scenario);
        h.createClient(ClientOptions::withTimeout(c.requestTimeout)).start();
        ASSERT_TRUE(h.waitForEvent(c.events.last()));
        if (c.connected)
            ASSERT_TRUE(h.barrier());
        else
            h.drain();
        EXPECT_EQ(h.events(), c.events);
    }
}

TEST(ClientRecovery, TimeOutsCloseTheConnectionWithoutReconnecting)
{
    struct Case {
        const char* name;
        QByteArray rules;
        QStringList events;
    };
    const QList<Case> cases = {
        {"account read", R"({"method": "account/read", "nth": 1, "actions": []})",
         {loading, checking, accountTimedOut}},
        {"usage read", R"({"method": "account/rateLimits/read", "nth": 1, "actions": []})",
         {loading, checking, usageTimedOut}},
        {"confirming read", R"({"method": "account/read", "nth": 2, "actions": []})",
         {loading, checking, accountTimedOut}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        h.setScenario(R"({"children": [{"rules": [)" + c.rules + R"(]},
                                        {"rules": [)" + errorRule(read, R"({"code": 401})") + "]}, {}]}");
        // The time-out holds for every request of every child: long enough for children 2
        // and 3 to launch and answer in time even on a busy machine.
        CodexAppServerClient& client = h.createClient(ClientOptions::withTimeout(2.0));
        client.start();
        ASSERT_TRUE(h.waitForEvent(c.events.last(), 10000));
        h.drain(); // the connection has ended: stop() is a round trip that changes nothing
        EXPECT_EQ(h.events(), c.events);
        EXPECT_EQ(h.childCount(), 1);
        EXPECT_TRUE(childProcessesOfThisProcess().isEmpty());

        // The time-out used no reconnect: child 2's 401 is retried at once.
        client.refresh();
        ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
        EXPECT_EQ(h.events(), c.events + QStringList({loading, checking,
                                                      reconnecting(QStringLiteral("계정 확인 실패 (코드 401)"))})
                                  + happyCycle());
    }
}

TEST(ClientRecovery, TimeOutsDoNothingOnceTheirRequestIsSettled)
{
    struct Case {
        const char* name;
        QByteArray scenario;
        QStringList events;
    };
    const QByteArray late = R"([{"sleep": 150}, {"preset": true}])";
    const QList<Case> cases = {
        {"every answer comes late but in time",
         R"({"rules": [{"method": "initialize", "actions": )" + late + R"(},
                       {"method": "account/read", "actions": )" + late + R"(},
                       {"method": "account/rateLimits/read", "actions": )" + late + "}]}",
         happyCycle()},
        {"usage read dropped by account/updated",
         R"({"rules": [{"method": "account/rateLimits/read", "nth": 1,
                        "actions": [{"send": {"method": "account/updated"}}]}]})",
         {loading, checking, accountChanged, checking, cleared, ClientHarness::happySnapshot()}},
        {"connection replaced by a reconnect while every request was pending",
         R"({"children": [{"rules": [{"method": "account/read", "actions": [{"error": {"code": 401}}]}]},
                          {"rules": [{"method": "initialize", "actions": )" + late + R"(},
                                     {"method": "account/read", "actions": )" + late + "}]}]}",
         QStringList({loading, checking, reconnecting(QStringLiteral("계정 확인 실패 (코드 401)"))}) + happyCycle()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        h.setScenario(c.scenario);
        // Long enough for a late answer, launch included, even on a busy machine.
        constexpr double timeout = 1.5;
        h.createClient(ClientOptions::withTimeout(timeout)).start();
        ASSERT_TRUE(h.waitForEvent(c.events.last()));
        // A time-out can only be shown not to fire by letting its time pass: the last
        // one was armed before the last answer came.
        ClientHarness::settle(int(timeout * 1000) + 100);
        ASSERT_TRUE(h.barrier());
        EXPECT_EQ(h.events(), c.events);
    }
}

} // namespace
} // namespace tallyglass
