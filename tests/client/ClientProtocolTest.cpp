// The handshake, the reading cycle and the notifications, against real fake-codex processes.
#include "tests/client/ClientHarness.h"
#include "tests/client/StatusEvents.h"

#include <QJsonArray>

namespace tallyglass {
namespace {

using namespace events;

const QString initialize = QStringLiteral("initialize");
const QString initializedNote = QStringLiteral("initialized");
const QString read = QStringLiteral("account/read");
const QString limits = QStringLiteral("account/rateLimits/read");

// How a test shows that nothing wrongly follows the last event it waits for.
enum class Then {
    barrier,  // the connection is up and idle, and its next cycle is happy
    drain,    // the connection has ended
    nextStep, // the test's own next refresh and its assertion show it
};

// Starts a client on `scenario`, waits for `lastEvent` (at index `from` or later), then
// makes sure anything wrongly following it has shown up too.
void runUntil(ClientHarness& h, const QByteArray& scenario, const QString& lastEvent, Then then,
              qsizetype from = 0)
{
    h.setScenario(scenario);
    h.createClient().start();
    ASSERT_TRUE(h.waitForEvent(lastEvent, 5000, from));
    if (then == Then::barrier)
        ASSERT_TRUE(h.barrier());
    else if (then == Then::drain)
        h.drain();
}

bool childGotEof(const ClientHarness& h, int child)
{
    for (const TranscriptLine& line : h.transcript(child))
        if (line.kind == QStringLiteral("eof") || line.kind == QStringLiteral("sigterm"))
            return true;
    return false;
}

TEST(ClientProtocol, OneCycleSendsExactlyTheseLinesAndARefreshRepeatsIt)
{
    ClientHarness h;
    runUntil(h, "{}", ClientHarness::happySnapshot(), Then::nextStep);
    EXPECT_EQ(h.events(), happyCycle());
    const QList<QJsonObject> expected = {
        parseObject(R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"tallyglass","title":"Tallyglass",
                        "version":"1.0.2"},"capabilities":{"experimentalApi":false}}})"),
        parseObject(R"({"method":"initialized"})"),
        parseObject(R"({"id":2,"method":"account/read","params":{"refreshToken":true}})"),
        parseObject(R"({"id":3,"method":"account/rateLimits/read","params":{}})"),
        parseObject(R"({"id":4,"method":"account/read","params":{"refreshToken":true}})"),
    };
    EXPECT_EQ(h.received(1), expected);

    h.client().refresh();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot(), 5000, 4));
    EXPECT_EQ(h.events(), happyCycle() + happyRefresh());
    EXPECT_EQ(h.received(1).mid(5), (QList<QJsonObject>{
                                        parseObject(R"({"id":5,"method":"account/read","params":{"refreshToken":true}})"),
                                        parseObject(R"({"id":6,"method":"account/rateLimits/read","params":{}})"),
                                        parseObject(R"({"id":7,"method":"account/read","params":{"refreshToken":true}})"),
                                    }));
}

TEST(ClientProtocol, InitializeAnswersOtherThanAResultCloseTheConnection)
{
    struct Case {
        const char* name;
        QByteArray answer; // raw line, $id replaced by the request id
        QString status;
    };
    const QList<Case> cases = {
        {"error with a code", R"({"id":$id,"error":{"code":-32600,"message":"bad"}})",
         QStringLiteral("Codex 초기화 실패 (코드 -32600)")},
        {"error 401 is not retried", R"({"id":$id,"error":{"code":401,"message":"unauthorized"}})",
         QStringLiteral("Codex 초기화 실패 (코드 401)")},
        {"error without a code", R"({"id":$id,"error":{"message":"bad"}})",
         QStringLiteral("Codex 초기화 실패 (코드 알 수 없음)")},
        {"code as text", R"({"id":$id,"error":{"code":"7"}})", QStringLiteral("Codex 초기화 실패 (코드 알 수 없음)")},
        {"code out of range", R"({"id":$id,"error":{"code":1e300}})",
         QStringLiteral("Codex 초기화 실패 (코드 알 수 없음)")},
        {"neither result nor error", R"({"id":$id})", QStringLiteral("Codex 초기화 응답 없음")},
        {"result not an object", R"({"id":$id,"result":[]})", QStringLiteral("Codex 초기화 응답 없음")},
        {"error not an object", R"({"id":$id,"error":"bad"})", QStringLiteral("Codex 초기화 응답 없음")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        QByteArray raw = c.answer;
        raw.replace('"', "\\\"");
        runUntil(h, R"({"rules": [{"method": "initialize", "actions": [{"raw": ")" + raw + R"(\n"}]}]})",
                 status(c.status), Then::drain);
        EXPECT_EQ(h.events(), (QStringList{loading, status(c.status)}));
        EXPECT_EQ(h.receivedMethods(1), QStringList{initialize});
        EXPECT_EQ(h.childCount(), 1) << "no automatic reconnect";
        EXPECT_TRUE(childGotEof(h, 1)) << "the connection is closed";
    }
}

TEST(ClientProtocol, AnEmptyInitializeResultIsSuccess)
{
    ClientHarness h;
    runUntil(h, R"({"rules": [{"method": "initialize", "actions": [{"result": {}}]}]})",
             ClientHarness::happySnapshot(), Then::barrier);
    EXPECT_EQ(h.events(), happyCycle());
}

TEST(ClientProtocol, AccountAnswersWithoutAChatgptAccount)
{
    struct Case {
        const char* name;
        QByteArray answer; // the whole answer object, "$id" for the id
        QString status;
        bool closes;
    };
    const QList<Case> cases = {
        {"nobody signed in", R"({"id":"$id","result":{"account":null,"requiresOpenaiAuth":true}})", loginNeeded, false},
        {"a method that is not text leaves it an answer", R"({"id":"$id","method":5,"result":{"account":null}})",
         loginNeeded, false},
        {"account not an object", R"({"id":"$id","result":{"account":"chatgpt"}})", loginNeeded, false},
        {"API key", R"({"id":"$id","result":{"account":{"type":"apiKey"}}})", loginNeeded, false},
        {"type in other case", R"({"id":"$id","result":{"account":{"type":"ChatGPT","email":"a@example.com"}}})",
         loginNeeded, false},
        {"type missing", R"({"id":"$id","result":{"account":{"email":"a@example.com"}}})", loginNeeded, false},
        {"empty result", R"({"id":"$id","result":{}})", noAccountAnswer, true},
        {"no account member", R"({"id":"$id","result":{"requiresOpenaiAuth":true}})", noAccountAnswer, true},
        {"result not an object", R"({"id":"$id","result":[{"account":null}]})", noAccountAnswer, true},
        {"no result", R"({"id":"$id"})", noAccountAnswer, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        runUntil(h, R"({"rules": [{"method": "account/read", "actions": [{"send": )" + c.answer + "}]}]}", c.status,
                 c.closes ? Then::drain : Then::nextStep);
        EXPECT_EQ(h.events(), (QStringList{loading, checking, c.status}));
        EXPECT_EQ(h.receivedMethods(1), (QStringList{initialize, initializedNote, read}));
        EXPECT_EQ(childGotEof(h, 1), c.closes);
        if (c.closes)
            continue;
        // The connection stays up: the next refresh reads the account again on it.
        h.client().refresh();
        ASSERT_TRUE(h.waitForEvent(c.status, 5000, 3));
        EXPECT_EQ(h.events(), (QStringList{loading, checking, c.status, checking, c.status}));
        EXPECT_EQ(h.receivedMethods(1), (QStringList{initialize, initializedNote, read, read}));
    }
}

TEST(ClientProtocol, AnAccountChangeOnOneConnectionReconnectsAndTheNewConnectionAcceptsIt)
{
    struct Case {
        const char* name;
        QByteArray confirmingAccount;
    };
    const QList<Case> cases = {
        {"other email", R"({"type":"chatgpt","email":"b@example.com","planType":"plus"})"},
        {"member added", R"({"type":"chatgpt","email":"a@example.com","planType":"plus","id":"x"})"},
        {"member changed", R"({"type":"chatgpt","email":"a@example.com","planType":"pro"})"},
        {"signed out", "null"},
        {"other type", R"({"type":"apiKey"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        runUntil(h,
                 R"({"children": [{"rules": [{"method": "account/read", "nth": 2, "actions": [{"result": {"account": )"
                     + c.confirmingAccount + "}}]}]}, {}]}",
                 ClientHarness::happySnapshot(), Then::barrier);
        // Child 2 shows account a again: a change on a new connection, so it is accepted.
        EXPECT_EQ(h.events(),
                  QStringList({loading, checking, reconnecting(QStringLiteral("Codex 계정 변경 감지"))}) + happyCycle());
        EXPECT_EQ(h.receivedMethods(1), (QStringList{initialize, initializedNote, read, limits, read}));
        EXPECT_EQ(h.received(2).first().value(QStringLiteral("id")), QJsonValue(5));
        EXPECT_EQ(h.childCount(), 2);
    }
}

TEST(ClientProtocol, TheFirstAccountAfterAReconnectMayDifferButTheNextChangeRecoversAgain)
{
    ClientHarness h;
    // Child 1 reconnects on a 401; child 2 shows b, then b again, then c in the next cycle.
    const QByteArray b = R"({"result": {"account": {"type": "chatgpt", "email": "b@example.com"}}})";
    const QByteArray c = R"({"result": {"account": {"type": "chatgpt", "email": "c@example.com"}}})";
    runUntil(h,
             R"({"children": [
                  {"rules": [{"method": "account/read", "actions": [{"error": {"code": 401}}]}]},
                  {"rules": [{"method": "account/read", "nth": 1, "actions": [)" + b + R"(]},
                             {"method": "account/read", "nth": 2, "actions": [)" + b + R"(]},
                             {"method": "account/read", "nth": 3, "actions": [)" + c + R"(]}]}]})",
             ClientHarness::happySnapshot(), Then::nextStep);
    h.advanceWallClock(10); // inside the cool-down: the change is refused
    h.client().refresh();
    const QString reason = QStringLiteral("Codex 계정 변경 감지");
    ASSERT_TRUE(h.waitForEvent(refused(reason)));
    h.drain();
    EXPECT_EQ(h.events(), QStringList({loading, checking, reconnecting(QStringLiteral("계정 확인 실패 (코드 401)"))})
                              + happyCycle() + QStringList({checking, refused(reason)}));
}

// account/updated and account/rateLimits/updated in each phase of a connection.
TEST(ClientProtocol, NotificationsInEachPhase)
{
    const QByteArray accountUpdated = R"({"send": {"method": "account/updated", "params": {}}})";
    const QByteArray limitsUpdated = R"({"send": {"method": "account/rateLimits/updated", "params": {"rateLimits": {}}}})";
    struct Case {
        const char* name;
        QByteArray rules;
        QStringList events;
        QStringList methods;
    };
    const QStringList oneCycle = {initialize, initializedNote, read, limits, read};
    const QList<Case> cases = {
        {"account/updated before initialize is answered: text only, nothing sent",
         R"({"method": "initialize", "actions": [)" + accountUpdated + R"(, {"preset": true}]})",
         {loading, accountChanged, checking, cleared, ClientHarness::happySnapshot()}, oneCycle},
        {"account/updated while the account is read: the read carries on",
         R"({"method": "account/read", "nth": 1, "actions": [)" + accountUpdated
             + R"(, {"preset": true}]})",
         {loading, checking, accountChanged, cleared, ClientHarness::happySnapshot()}, oneCycle},
        {"account/updated while usage is read: that answer is dropped and a new read starts",
         R"({"method": "account/rateLimits/read", "nth": 1, "actions": [)" + accountUpdated
             + R"(, {"preset": true}]})",
         {loading, checking, accountChanged, checking, cleared, ClientHarness::happySnapshot()},
         oneCycle + QStringList{limits, read}},
        {"account/updated while confirming: the pending snapshot is dropped and usage read again",
         R"({"method": "account/read", "nth": 2, "actions": [)" + accountUpdated
             + R"(, {"preset": true}]})",
         {loading, checking, accountChanged, cleared, ClientHarness::happySnapshot()},
         oneCycle + QStringList{limits, read}},
        {"account/updated when ready: a new cycle",
         R"({"method": "account/read", "nth": 2, "actions": [{"preset": true}, )" + accountUpdated
             + "]}",
         happyCycle() + QStringList{accountChanged} + happyRefresh(), oneCycle + QStringList{read, limits, read}},
        {"rateLimits/updated inside a cycle: nothing",
         R"({"method": "account/read", "nth": 1, "actions": [)" + limitsUpdated + R"(, {"preset": true}]},
            {"method": "account/rateLimits/read", "nth": 1, "actions": [)" + limitsUpdated + R"(, {"preset": true}]})",
         happyCycle(), oneCycle},
        {"rateLimits/updated before initialize is answered: nothing",
         R"({"method": "initialize", "actions": [)" + limitsUpdated + R"(, {"preset": true}]})",
         happyCycle(), oneCycle},
        {"rateLimits/updated when ready: a new cycle",
         R"({"method": "account/read", "nth": 2, "actions": [{"preset": true}, )" + limitsUpdated
             + "]}",
         happyCycle() + happyRefresh(), oneCycle + QStringList{read, limits, read}},
        {"server requests and unknown notifications are ignored",
         R"({"method": "account/read", "nth": 1, "actions": [
              {"send": {"id": "$id", "method": "item/tool/requestUserInput", "result": {"account": null}}},
              {"send": {"id": "$id", "method": "account/read", "params": {}}},
              {"send": {"method": "Account/Updated"}}, {"send": {"method": "codex/event", "params": {}}},
              {"preset": true}]})",
         happyCycle(), oneCycle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        // A wrongly started further cycle shows before the barrier's own.
        runUntil(h, R"({"rules": [)" + c.rules + "]}", c.events.last(), Then::barrier, c.events.size() - 1);
        EXPECT_EQ(h.events(), c.events);
        EXPECT_EQ(h.receivedMethods(1), c.methods);
        EXPECT_EQ(h.childCount(), 1);
    }
}

TEST(ClientProtocol, AnswersThatMatchNoPendingRequestAreIgnored)
{
    const QList<std::pair<const char*, QByteArray>> cases = {
        {"id as text", R"({"raw": "{\"id\":\"$id\",\"result\":{\"account\":null}}\n"})"},
        {"id out of range", R"({"raw": "{\"id\":1e300,\"result\":{\"account\":null}}\n"})"},
        {"id of no request", R"({"raw": "{\"id\":99,\"result\":{\"account\":null}}\n"})"},
        {"id of the answered initialize", R"({"raw": "{\"id\":1,\"result\":{\"account\":null}}\n"})"},
        {"no id", R"({"raw": "{\"result\":{\"account\":null}}\n"})"},
        {"id null", R"({"raw": "{\"id\":null,\"error\":{\"code\":401}}\n"})"},
    };
    for (const auto& [name, stray] : cases) {
        SCOPED_TRACE(name);
        ClientHarness h;
        runUntil(h,
                 R"({"rules": [{"method": "account/read", "nth": 1, "actions": [)" + stray
                     + R"(, {"preset": true}]}]})",
                 ClientHarness::happySnapshot(), Then::barrier);
        EXPECT_EQ(h.events(), happyCycle());
    }
}

TEST(ClientProtocol, ASecondAnswerToTheSameRequestIsIgnored)
{
    ClientHarness h;
    runUntil(h, R"({"rules": [{"method": "account/read", "nth": 1, "actions": [
                   {"preset": true}, {"result": {"account": null}}, {"error": {"code": 401}}]}]})",
             ClientHarness::happySnapshot(), Then::barrier);
    EXPECT_EQ(h.events(), happyCycle());
}

TEST(ClientProtocol, UsageAnswersWithoutUsableDataKeepTheConnection)
{
    const QList<std::pair<const char*, QByteArray>> cases = {
        {"no result", R"({"send": {"id": "$id"}})"},
        {"result not an object", R"({"result": [1]})"},
        {"no windows", R"({"result": {"rateLimits": {}}})"},
        {"only a one-hour window", R"({"result": {"rateLimits": {"primary": {"usedPercent": 5, "windowDurationMins": 60}}}})"},
    };
    for (const auto& [name, answer] : cases) {
        SCOPED_TRACE(name);
        ClientHarness h;
        runUntil(h, R"({"rules": [{"method": "account/rateLimits/read", "nth": 1, "actions": [)" + answer + "]}]}",
                 noUsageData, Then::nextStep);
        EXPECT_EQ(h.events(), (QStringList{loading, checking, noUsageData}));
        EXPECT_EQ(h.receivedMethods(1), (QStringList{initialize, initializedNote, read, limits}));
        h.client().refresh();
        ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
        EXPECT_EQ(h.events(), QStringList({loading, checking, noUsageData}) + happyRefresh());
        EXPECT_EQ(h.childCount(), 1);
    }
}

} // namespace
} // namespace tallyglass
