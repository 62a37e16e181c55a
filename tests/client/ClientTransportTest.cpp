// Line framing on the child's pipes, against real fake-codex processes.
#include "client/ChildProcess.h"
#include "tests/client/ClientHarness.h"
#include "tests/client/StatusEvents.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QThread>
#include <csignal>
#include <pthread.h>

namespace tallyglass {
namespace {

using namespace events;

TEST(ClientTransport, ChunksCrlfAndNonObjectLinesAreFramedAndSkipped)
{
    struct Case {
        const char* name;
        QByteArray initializeActions; // how the initialize answer is written
    };
    const QList<Case> cases = {
        {"split over three reads", R"({"chunks": ["{\"id\":$id,", "\"result\":{\"user", "Agent\":\"x\"}}\n"]})"},
        {"line feed in a read of its own", R"({"chunks": ["{\"id\":$id,\"result\":{}}", "\n"]})"},
        {"CRLF line end", R"({"preset": true, "eol": "\r\n"})"},
        {"garbage, empty lines, arrays and scalars first",
         R"({"raw": "garbage\n\n\r\n[{\"id\":$id,\"result\":{}}]\n42\n\"text\"\nnull\n{\"id\":$id,\"res"}, {"sleep": 30},
            {"raw": "ult\":{}}\n"})"},
        {"two answers in one read, the second a duplicate",
         R"({"raw": "{\"id\":$id,\"result\":{}}\n{\"id\":$id,\"error\":{\"code\":1}}\n"})"},
        {"notification and answer in one read",
         R"({"raw": "{\"method\":\"thread/started\",\"params\":{}}\n{\"id\":$id,\"result\":{}}\n"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        h.setScenario(R"({"rules": [{"method": "initialize", "actions": [)" + c.initializeActions + "]}]}");
        h.createClient().start();
        ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
        ASSERT_TRUE(h.barrier());
        EXPECT_EQ(h.events(), happyCycle());
        EXPECT_EQ(h.receivedMethods(1).size(), 5);
    }
}

TEST(ClientTransport, EveryAnswerOfACycleMayArriveInPieces)
{
    ClientHarness h;
    h.setScenario(R"({"rules": [
      {"method": "account/read", "actions": [{"preset": true, "eol": "\r\n"}]},
      {"method": "account/rateLimits/read", "actions": [
        {"chunks": ["{\"id\":$id,\"result\":{\"rateLimits\":{\"primary\":{\"usedPercent\":37,",
                    "\"windowDurationMins\":300,\"resetsAt\":1893456000},\"secondary\":{\"usedPercent\":12,",
                    "\"windowDurationMins\":10080,\"resetsAt\":1894060800}}}}\r", "\n"]}]}]})");
    h.createClient().start();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    EXPECT_EQ(h.events(), happyCycle());
}

TEST(ClientTransport, AFailedWriteEndsTheConnection)
{
    ClientHarness h;
    // Child 1 closes its input before answering, so the `initialized` notification cannot be written.
    h.setScenario(R"({"children": [
      {"rules": [{"method": "initialize", "actions": [{"closeStdin": true}, {"preset": true}]}]},
      {}]})");
    CodexAppServerClient& client = h.createClient();
    client.start();
    const QString sendFailed = status(QStringLiteral("Codex에 요청을 보내지 못함 — 새로고침으로 재연결"));
    ASSERT_TRUE(h.waitForEvent(sendFailed));
    EXPECT_EQ(h.events(), (QStringList{loading, sendFailed}));
    EXPECT_TRUE(h.waitFor([] { return childProcessesOfThisProcess().isEmpty(); }, QStringLiteral("child 1 gone")))
        << childProcessesOfThisProcess().join(", ").toStdString();

    client.refresh();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    EXPECT_EQ(h.events(), QStringList({loading, sendFailed}) + happyCycle());
    EXPECT_EQ(h.received(2).first().value(QStringLiteral("id")), QJsonValue(2));
}

TEST(ClientTransport, AWriteToAChildThatClosedItsInputFailsAndLeavesNoSigpipe)
{
    // As on the client's thread: SIGPIPE blocked here, nothing ignored process-wide.
    // A SIGPIPE left pending would end the program once unblocked.
    struct sigaction byDefault {}, previous {};
    byDefault.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &byDefault, &previous);
    sigset_t pipeOnly, previousMask;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &previousMask);

    ClientHarness h;
    h.setScenario(R"({"onStart": [{"closeStdin": true}]})");
    QByteArrayList environment;
    for (const QString& entry : QProcessEnvironment::systemEnvironment().toStringList())
        environment << entry.toLocal8Bit();
    auto spawned = ChildProcess::spawn({ClientHarness::fakePath(), {QStringLiteral("app-server")}, h.dir(), environment});
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<ChildProcess>>(spawned));
    ChildProcess& child = *std::get<std::unique_ptr<ChildProcess>>(spawned);
    ASSERT_TRUE(h.waitForTranscript(1, QStringLiteral("closed-stdin")));

    EXPECT_FALSE(child.writeInput("{}\n"));
    sigset_t pending;
    ::sigpending(&pending);
    const bool sigpipeLeft = sigismember(&pending, SIGPIPE);
    child.stopGroup();
    EXPECT_FALSE(child.isRunning());

    // Ignoring it discards a SIGPIPE still pending, so unblocking cannot end the tests.
    struct sigaction ignored {};
    ignored.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignored, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_FALSE(sigpipeLeft) << "the failed write left a SIGPIPE pending";
}

TEST(ClientTransport, AFloodOfNotificationsReachesTheMainThreadBoundedAndTheTimeOutStillFires)
{
    // 1 MiB written means the client has read all but the pipe's 64 KiB: tens of
    // thousands of notifications.
    const QByteArray flood = R"({"onStart": [{"flood": {"method": "account/updated"}, "noteAfterBytes": 1048576}],
                                 "rules": [{"method": "initialize", "actions": []}]})";
    {
        ClientHarness h;
        h.setScenario(flood);
        CodexAppServerClient& client = h.createClient();
        client.start();
        // The main thread looks away (runs no events) while the notifications arrive,
        // then the child is stopped, so that what waits for the main thread is all there is.
        const QDeadlineTimer deadline(10000);
        while (!h.firstPayload(1, QStringLiteral("note")) && !deadline.hasExpired())
            QThread::msleep(5);
        ASSERT_TRUE(h.firstPayload(1, QStringLiteral("note"))) << "the flood did not get through in 10 s";
        client.stop();
        for (int round = 0; round < 200; ++round)
            ClientHarness::deliverQueued();
        EXPECT_LE(h.events().size(), 24) << "undelivered statuses collapse instead of queueing one event each";
        ASSERT_FALSE(h.events().isEmpty());
        EXPECT_EQ(h.events().first(), loading) << "nothing is reordered";
        EXPECT_EQ(h.events().last(), accountChanged);
    }
    {
        ClientHarness h;
        h.setScenario(flood);
        h.createClient(ClientOptions::withTimeout(1.5)).start();
        // How close to its due time it fires is measured by bench/client/run-flood-bench.sh.
        const QString timedOut = status(QStringLiteral("Codex 초기화 시간 초과 — 새로고침으로 재연결"));
        ASSERT_TRUE(h.waitForEvent(timedOut, 10000));
        EXPECT_EQ(h.events().last(), timedOut);
        EXPECT_TRUE(h.waitFor([] { return childProcessesOfThisProcess().isEmpty(); }, QStringLiteral("no child left")));
    }
}

} // namespace
} // namespace tallyglass
