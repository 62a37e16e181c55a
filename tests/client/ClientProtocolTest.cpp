// The handshake, the reading cycle and the notifications, against real fake-codex processes.
#include "tests/client/ClientHarness.h"
#include "tests/client/StatusEvents.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <sys/stat.h>

namespace tallyglass {
namespace {

using namespace events;

const QString initialize = QStringLiteral("initialize");
const QString initializedNote = QStringLiteral("initialized");
const QString read = QStringLiteral("account/read");
const QString limits = QStringLiteral("account/rateLimits/read");
const QString consume = QStringLiteral("account/rateLimitResetCredit/consume");

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
    ASSERT_TRUE(h.lastAllowance());
    EXPECT_EQ(h.lastAllowance()->plan, QStringLiteral("plus")) << "the rest of the answer comes with the snapshot";

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

// Spending a banked reset: the key is on disk before the request, every attempt while
// it is there sends the same request, and only an outcome (or a CLI that does not know
// the request) removes it. None of it touches the connection.
TEST(ClientProtocol, ABankedResetKeepsItsKeyUntilAnOutcome)
{
    const QString underway = status(QStringLiteral("한도 리셋 사용 중…"));
    const QString done = status(QStringLiteral("한도 리셋 완료 — 새 사용량 불러오는 중"));
    const QString failed = status(QStringLiteral("한도 리셋 확인 실패 (코드 -32603) — 다시 시도하면 같은 요청으로 확인"));
    const QString refused = status(QStringLiteral("한도 리셋 확인 실패 (코드 알 수 없음) — 다시 시도하면 같은 요청으로 확인"));
    const QString noAnswer = status(QStringLiteral("한도 리셋 응답 없음 — 다시 시도하면 같은 요청으로 확인"));
    const QString unsupported = status(QStringLiteral("이 Codex 버전은 한도 리셋을 지원하지 않음"));
    enum class Key { none, earlier, link, fifo, directory };
    struct Case {
        const char* name;
        QList<QByteArray> answers; // the actions answering attempt 1, 2, ...
        QStringList events;        // after the first reading
        bool keyKept;
        double timeout = 20;
        Key existing = Key::none;
    };
    const QList<Case> cases = {
        {"reset: the key goes and a reading follows", {R"({"result": {"outcome": "reset"}})"},
         QStringList{underway, done} + happyRefresh(), false},
        {"alreadyRedeemed: the same", {R"({"result": {"outcome": "alreadyRedeemed"}})"},
         QStringList{underway, status(QStringLiteral("이미 처리된 한도 리셋 — 새 사용량 불러오는 중"))} + happyRefresh(),
         false},
        {"nothingToReset", {R"({"result": {"outcome": "nothingToReset"}})"},
         {underway, status(QStringLiteral("초기화할 한도가 없어 한도 리셋을 쓰지 않음"))}, false},
        {"noCredit", {R"({"result": {"outcome": "noCredit"}})"},
         {underway, status(QStringLiteral("사용할 수 있는 한도 리셋 없음"))}, false},
        {"an outcome we do not know keeps the key", {R"({"result": {"outcome": "later"}})"},
         {underway, refused}, true},
        {"an error keeps the key and the retry repeats the request",
         {R"({"error": {"code": -32603, "message": "rate limit reset consume timed out"}})",
          R"({"result": {"outcome": "reset"}})"},
         QStringList{underway, failed, underway, done} + happyRefresh(), false},
        {"no answer keeps the key", {"null"}, {underway, noAnswer}, true, 1},
        {"0.58.0 does not know the request",
         {R"({"error": {"code": -32600, "message": "Invalid request: unknown variant `account/rateLimitResetCredit/consume`"}})"},
         {underway, unsupported}, false},
        {"nor does a method-not-found answer", {R"({"error": {"code": -32601, "message": "no"}})"},
         {underway, unsupported}, false},
        {"-32600 for another reason is an error", {R"({"error": {"code": -32600, "message": "bad"}})"},
         {underway, status(QStringLiteral("한도 리셋 확인 실패 (코드 -32600) — 다시 시도하면 같은 요청으로 확인"))},
         true},
        {"a key left by an earlier attempt (a crash, the console) is the request",
         {R"({"result": {"outcome": "alreadyRedeemed"}})"},
         QStringList{underway, status(QStringLiteral("이미 처리된 한도 리셋 — 새 사용량 불러오는 중"))} + happyRefresh(),
         false, 20, Key::earlier},
        {"a link where the key belongs is not followed", {}, {refused}, true, 20, Key::link},
        {"nor is a FIFO read", {}, {refused}, true, 20, Key::fifo},
        {"nor a directory", {}, {refused}, true, 20, Key::directory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        const QString keyFile = h.dir() + QStringLiteral("/state/pending-reset");
        QByteArray rules;
        for (qsizetype n = 0; n < c.answers.size(); ++n) {
            const QByteArray answer = c.answers[n] == "null" ? QByteArray() : ", " + c.answers[n];
            rules += (n ? ", " : "") + QByteArray(R"({"method": "account/rateLimitResetCredit/consume", "nth": )")
                + QByteArray::number(n + 1) + R"(, "actions": [{"recordFile": ")" + keyFile.toUtf8() + "\"}" + answer
                + "]}";
        }
        h.setScenario(R"({"rules": [)" + rules + "]}");
        QDir().mkpath(h.dir() + QStringLiteral("/state"));
        const QByteArray otherKey = R"({"idempotencyKey":"not-ours"})";
        // A credit id with what JSON must escape, as the backend could send it.
        const QByteArray earlierKey
            = R"({"creditId":"credit-0 \"q\" \\ \n\t \u0001 \u00e9","idempotencyKey":"0b1d7e44-1f0e-4c55-9a55-5d1f0e2c7a10"})";
        if (c.existing == Key::earlier) {
            QFile earlier(keyFile);
            ASSERT_TRUE(earlier.open(QIODevice::WriteOnly) && earlier.write(earlierKey) == earlierKey.size());
        } else if (c.existing == Key::link) {
            QFile other(h.dir() + QStringLiteral("/other"));
            ASSERT_TRUE(other.open(QIODevice::WriteOnly) && other.write(otherKey) == otherKey.size());
            ASSERT_TRUE(QFile::link(other.fileName(), keyFile));
        } else if (c.existing == Key::fifo) {
            ASSERT_EQ(::mkfifo(QFile::encodeName(keyFile).constData(), 0600), 0);
        } else if (c.existing == Key::directory) {
            ASSERT_TRUE(QDir().mkpath(keyFile));
        }

        h.createClient(ClientOptions::withTimeout(c.timeout)).start();
        ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
        const int attempts = std::max<int>(1, int(c.answers.size()));
        for (int attempt = 0; attempt < attempts; ++attempt) {
            // Later attempts name another credit: the one written down with the key wins.
            h.client().useResetCredit(keyFile, attempt ? QStringLiteral("credit-2") : QStringLiteral("credit-1"));
            const qsizetype end = attempt + 1 < attempts ? c.events.indexOf(underway, 1) : c.events.size();
            ASSERT_TRUE(h.waitForEventCount(happyCycle().size() + end, 5000));
        }
        ASSERT_TRUE(h.barrier());
        EXPECT_EQ(h.events(), happyCycle() + c.events);
        EXPECT_EQ(h.childCount(), 1) << "the connection stays";

        QList<QJsonObject> sent;
        for (const QJsonObject& message : h.received(1))
            if (message.value(QStringLiteral("method")) == consume)
                sent.append(message.value(QStringLiteral("params")).toObject());
        ASSERT_EQ(sent.size(), c.answers.size());
        QStringList written; // the key file as the fake found it on each request
        for (const TranscriptLine& line : h.transcript(1))
            if (line.kind == QStringLiteral("file"))
                written.append(QString::fromUtf8(line.payload));
        for (qsizetype n = 0; n < sent.size(); ++n) {
            EXPECT_EQ(sent[n], sent[0]) << "every attempt repeats the first request";
            if (c.existing == Key::earlier) {
                EXPECT_EQ(sent[n], parseObject(earlierKey));
            } else {
                EXPECT_EQ(sent[n].value(QStringLiteral("creditId")), QJsonValue(QStringLiteral("credit-1")));
                EXPECT_EQ(sent[n].value(QStringLiteral("idempotencyKey")).toString().size(), 36) << "a UUID";
            }
            EXPECT_EQ(parseObject(written.value(n).toUtf8()), sent[n]) << "the key was on disk before the request";
        }
        if (c.existing != Key::none && c.existing != Key::earlier)
            continue;
        QFile key(keyFile);
        EXPECT_EQ(key.exists(), c.keyKept);
        if (c.keyKept) {
            struct stat info {};
            ASSERT_EQ(::stat(QFile::encodeName(keyFile).constData(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u);
            ASSERT_TRUE(key.open(QIODevice::ReadOnly));
            EXPECT_EQ(parseObject(key.readAll()), sent.value(0));
        }
    }
}

TEST(ClientProtocol, AResetWaitsForTheReadingUnderWayAndConnectsFirstWhenNeeded)
{
    ClientHarness h;
    const QString keyFile = h.dir() + QStringLiteral("/pending-reset");
    h.createClient().useResetCredit(keyFile, std::nullopt); // no connection yet: launch, read, then spend
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot(), 5000, 4));
    ASSERT_TRUE(h.barrier());
    const QStringList spent = {status(QStringLiteral("한도 리셋 사용 중…")),
                               status(QStringLiteral("한도 리셋 완료 — 새 사용량 불러오는 중"))};
    EXPECT_EQ(h.events(), happyCycle() + spent + happyRefresh());
    EXPECT_EQ(h.receivedMethods(1),
              (QStringList{initialize, initializedNote, read, limits, read, consume, read, limits, read}));
    EXPECT_FALSE(h.received(1).at(5).value(QStringLiteral("params")).toObject().contains(QStringLiteral("creditId")))
        << "no credit id when none is known";
    EXPECT_FALSE(QFile::exists(keyFile));
}

} // namespace
} // namespace tallyglass
