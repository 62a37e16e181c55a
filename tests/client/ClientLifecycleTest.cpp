// Launching, stopping and watching the child, against real fake-codex processes.
#include "tests/client/ClientHarness.h"
#include "tests/client/StatusEvents.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

namespace tallyglass {
namespace {

using namespace events;

// PATH restored when the test ends.
class PathOverride {
public:
    PathOverride() : had_(qEnvironmentVariableIsSet("PATH")), saved_(qgetenv("PATH")) {}
    ~PathOverride()
    {
        if (had_)
            qputenv("PATH", saved_);
        else
            qunsetenv("PATH");
    }

private:
    bool had_;
    QByteArray saved_;
};

TEST(ClientLifecycle, FirstLaunchSendsInitializeFirstWithTheFixedEnvironment)
{
    ClientHarness h;
    h.createClient().start();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    EXPECT_EQ(h.events(), happyCycle());

    ASSERT_FALSE(h.receivedLines(1).isEmpty());
    const QJsonObject expectedInitialize = parseObject(R"({"id":1,"method":"initialize","params":{
        "clientInfo":{"name":"tallyglass","title":"Tallyglass","version":"1.0.2"},
        "capabilities":{"experimentalApi":false}}})");
    EXPECT_EQ(h.received(1).first(), expectedInitialize) << h.receivedLines(1).first().toStdString();

    EXPECT_EQ(h.firstPayload(1, QStringLiteral("argv")), QByteArray(R"(["app-server"])"));
    EXPECT_EQ(h.firstPayload(1, QStringLiteral("cwd")), passwordDatabaseHome().toLocal8Bit());
    const QString fakeDir = QFileInfo(ClientHarness::fakePath()).absolutePath();
    EXPECT_EQ(h.firstPayload(1, QStringLiteral("path")),
              (fakeDir + QStringLiteral(":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:")).toLocal8Bit()
                  + qgetenv("PATH"));
    EXPECT_EQ(h.firstPayload(1, QStringLiteral("fds")), QByteArray("[]")) << "descriptors leaked into the child";
}

TEST(ClientLifecycle, ChildPathKeepsTheLinkDirectoryAndEndsWithAnEmptyEntryWithoutPath)
{
    ClientHarness h;
    const QString linkDir = h.dir() + QStringLiteral("/bin");
    ASSERT_TRUE(QDir().mkpath(linkDir));
    const QString link = linkDir + QStringLiteral("/codex");
    ASSERT_TRUE(QFile::link(ClientHarness::fakePath(), link));

    PathOverride restorePath;
    qunsetenv("PATH");
    h.createClient(ClientOptions::withExecutable(link)).start();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    EXPECT_EQ(h.firstPayload(1, QStringLiteral("path")),
              (linkDir + QStringLiteral(":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:")).toLocal8Bit());
}

TEST(ClientLifecycle, LaunchFailuresShowTheErrorNumber)
{
    struct Case {
        const char* name;
        std::function<QString(const QString& dir)> prepare;
        QString status;
    };
    const QList<Case> cases = {
        {"missing file", [](const QString& dir) { return dir + QStringLiteral("/nothing/codex"); },
         QStringLiteral("status:Codex 실행 실패 (2)")},
        {"not executable",
         [](const QString& dir) {
             const QString path = dir + QStringLiteral("/codex");
             QFile file(path);
             EXPECT_TRUE(file.open(QIODevice::WriteOnly));
             file.write("#!/bin/sh\nexit 0\n");
             file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
             return path;
         },
         QStringLiteral("status:Codex 실행 실패 (13)")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        h.createClient(ClientOptions::withExecutable(c.prepare(h.dir()))).start();
        ASSERT_TRUE(h.waitForEvent(c.status));
        h.drain();
        EXPECT_EQ(h.events(), QStringList{c.status});
        EXPECT_TRUE(childProcessesOfThisProcess().isEmpty()) << childProcessesOfThisProcess().join(", ").toStdString();
    }
}

TEST(ClientLifecycle, NoExecutableFoundWithoutOverride)
{
    const QString home = passwordDatabaseHome();
    for (const QString& fixed : {home + QStringLiteral("/.local/bin/codex"), QStringLiteral("/opt/homebrew/bin/codex"),
                                 QStringLiteral("/usr/local/bin/codex"), home + QStringLiteral("/.npm-global/bin/codex")})
        if (QFileInfo(fixed).isExecutable())
            GTEST_SKIP() << fixed.toStdString() << " exists here";
    ClientHarness h;
    PathOverride restorePath;
    qputenv("PATH", (h.dir() + QStringLiteral("/empty")).toLocal8Bit());
    h.createClient(ClientOptions::locating()).start();
    ASSERT_TRUE(h.waitForEvent(QStringLiteral("status:Codex CLI를 찾을 수 없음")));
    h.drain();
    EXPECT_EQ(h.events(), QStringList{QStringLiteral("status:Codex CLI를 찾을 수 없음")});
}

TEST(ClientLifecycle, InitializeTimeOutDropsTheChildAndIgnoresTheLateAnswer)
{
    ClientHarness h;
    // The answer comes once the client has given up and closed the child's input.
    h.setScenario(R"({"ignoreSigterm": true, "onEof": [{"raw": "{\"id\":1,\"result\":{}}\n"}],
                      "rules": [{"method": "initialize", "actions": []}]})");
    h.createClient(ClientOptions::withTimeout(0.3)).start();
    const QString timedOut = QStringLiteral("status:Codex 초기화 시간 초과 — 새로고침으로 재연결");
    ASSERT_TRUE(h.waitForEvent(timedOut));
    ASSERT_TRUE(h.waitForTranscript(1, QStringLiteral("sigterm")));
    // The answer is written while the client waits out the child's SIGTERM: once the
    // child is gone it has been written or never will be.
    const qint64 pid = pidFromPayload(h.firstPayload(1, QStringLiteral("start")));
    ASSERT_TRUE(h.waitFor([pid] { return !isLiveProcess(pid); }, QStringLiteral("child 1 gone")));
    h.drain();
    EXPECT_EQ(h.events(), (QStringList{loading, timedOut}));
    EXPECT_EQ(h.receivedMethods(1), QStringList{QStringLiteral("initialize")});
    EXPECT_EQ(h.childCount(), 1);
}

TEST(ClientLifecycle, ChildExitingOnItsOwnShowsExitCodeAndOneHint)
{
    struct Case {
        const char* name;
        QByteArray stderrActions; // actions written before the exit
        QByteArray exit;          // the final action
        QString detail;
        bool grandchild = false;  // a grandchild ignoring SIGTERM holds the pipes
    };
    const QList<Case> cases = {
        {"quiet", "", R"({"exit": 1})", QStringLiteral("종료 코드 1")},
        // The exit is known by the child's pidfd, not by the end of its output.
        {"grandchild holds the pipes", "", R"({"exit": 4})", QStringLiteral("종료 코드 4"), true},
        {"launch option", R"({"stderr": "error: Unexpected Argument '--listen'\nconfig\n"})", R"({"exit": 2})",
         QStringLiteral("종료 코드 2, 실행 옵션 오류")},
        {"settings before permission", R"({"stderr": "Error loading CONFIG: Permission Denied"})", R"({"exit": 1})",
         QStringLiteral("종료 코드 1, Codex 설정 확인 필요")},
        {"permission", R"({"stderr": "open ~/.codex/auth.json: PERMISSION denied"})", R"({"exit": 1})",
         QStringLiteral("종료 코드 1, 파일 접근 거부")},
        {"killed by a signal", "", R"({"raise": 9})", QStringLiteral("종료 코드 9")},
        // The hint's last byte is the 8192nd from the end: still searched.
        {"hint at the edge of the tail", R"({"stderr": "unexpected argument"}, {"stderr": "x", "repeat": 8173})",
         R"({"exit": 1})", QStringLiteral("종료 코드 1, 실행 옵션 오류")},
        // One byte more and the hint's first byte has scrolled out.
        {"hint scrolled out", R"({"stderr": "unexpected argument"}, {"stderr": "x", "repeat": 8174})",
         R"({"exit": 1})", QStringLiteral("종료 코드 1")},
        {"hint long gone", R"({"stderr": "config"}, {"stderr": "x", "repeat": 100000})", R"({"exit": 3})",
         QStringLiteral("종료 코드 3")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClientHarness h;
        // The client takes in what is left on standard error when it sees the exit.
        const QByteArray actions = c.stderrActions.isEmpty() ? c.exit : c.stderrActions + ", " + c.exit;
        h.setScenario(R"({"grandchild": )" + QByteArray(c.grandchild ? "true" : "false")
                      + R"(, "rules": [{"method": "initialize", "actions": [)" + actions + "]}]}");
        h.createClient().start();
        const QString ended = QStringLiteral("status:Codex 연결 종료 (") + c.detail + QLatin1Char(')');
        if (c.grandchild) {
            ASSERT_TRUE(h.waitForTranscript(1, QStringLiteral("exit")));
            QElapsedTimer sinceExit;
            sinceExit.start();
            ASSERT_TRUE(h.waitForEvent(ended));
            const qint64 reportMs = sinceExit.elapsed();
            testing::Test::RecordProperty("exit_report_ms", int(reportMs));
            EXPECT_LE(reportMs, 500) << "the exit must be reported without waiting for the grandchild";
            const qint64 grandchild = pidFromPayload(h.firstPayload(1, QStringLiteral("grandchild")));
            ASSERT_GT(grandchild, 0);
            EXPECT_TRUE(h.waitFor([&] { return !isLiveProcess(grandchild); }, QStringLiteral("the grandchild gone"), 3000));
        }
        ASSERT_TRUE(h.waitForEvent(ended));
        h.drain();
        EXPECT_EQ(h.events(), (QStringList{loading, ended}));
        EXPECT_TRUE(childProcessesOfThisProcess().isEmpty()) << childProcessesOfThisProcess().join(", ").toStdString();
    }
}

TEST(ClientLifecycle, StopKillsAChildThatIgnoresSigtermAndReportsNothing)
{
    ClientHarness h;
    // The child's grandchild ignores SIGTERM as well and holds the pipes: stop ends
    // the whole process group, not just the child.
    h.setScenario(R"({"ignoreSigterm": true, "onEof": [], "grandchild": true})");
    CodexAppServerClient& client = h.createClient();
    client.start();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    const QByteArray start = h.firstPayload(1, QStringLiteral("start")).value_or("pid 0");
    const QString pid = QString::fromLatin1(start.mid(4));
    const qint64 grandchild = pidFromPayload(h.firstPayload(1, QStringLiteral("grandchild")));
    ASSERT_GT(grandchild, 0);

    QElapsedTimer elapsed;
    elapsed.start();
    client.stop();
    const qint64 stopMs = elapsed.elapsed();
    EXPECT_GE(stopMs, 800) << "SIGKILL must wait about a second after SIGTERM";
    EXPECT_LE(stopMs, 2500);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/proc/") + pid)) << "the child was neither killed nor reaped";
    EXPECT_FALSE(isLiveProcess(grandchild)) << "the grandchild outlived stop()";
    EXPECT_TRUE(liveProcessesInGroup(pid.toLongLong()).isEmpty())
        << "left of the child's group: " << liveProcessesInGroup(pid.toLongLong()).join(", ").toStdString();
    EXPECT_TRUE(h.waitForTranscript(1, QStringLiteral("sigterm")));

    h.drain();
    EXPECT_EQ(h.events(), happyCycle()) << "a stopped child reports no end of connection";
}

TEST(ClientLifecycle, TwoQuickStartsLaunchOneChildAndRefreshWaitsForTheCycle)
{
    ClientHarness h;
    h.setScenario(R"({"rules": [{"method": "initialize", "actions": [{"sleep": 200}, {"preset": true}]}]})");
    CodexAppServerClient& client = h.createClient();
    client.start();
    client.start();
    client.refresh();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    client.refresh(); // Ready: a second cycle on the same child
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot(), 5000, 4));
    ASSERT_TRUE(h.barrier());
    EXPECT_EQ(h.childCount(), 1);
    EXPECT_EQ(h.events(), happyCycle() + QStringList({checking, cleared, ClientHarness::happySnapshot()}));
    const QString read = QStringLiteral("account/read"), limits = QStringLiteral("account/rateLimits/read");
    EXPECT_EQ(h.receivedMethods(1), QStringList({QStringLiteral("initialize"), QStringLiteral("initialized"), read,
                                                 limits, read, read, limits, read}));
}

TEST(ClientLifecycle, AnOldChildsLateOutputAndExitChangeNothing)
{
    ClientHarness h;
    // Child 1 fails the first account read so that the client reconnects; once its
    // input is closed it still writes an answer, a notification and stderr, and exits.
    h.setScenario(R"({"children": [
      {"ignoreSigterm": true,
       "onEof": [{"send": {"method": "account/updated"}},
                 {"raw": "{\"id\":5,\"result\":{\"account\":null}}\n"}, {"stderr": "config"}, {"exit": 3}],
       "rules": [{"method": "account/read", "actions": [{"error": {"code": 401, "message": "expired"}}]}]},
      {}]})");
    h.createClient().start();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    ASSERT_TRUE(h.waitForTranscript(1, QStringLiteral("exit"), "3"));
    ASSERT_TRUE(h.barrier());
    EXPECT_EQ(h.events(), (QStringList{loading, checking,
                                       QStringLiteral("status:계정 확인 실패 (코드 401) — Codex 재연결 중…"), loading,
                                       checking, cleared, ClientHarness::happySnapshot()}));
    EXPECT_EQ(h.received(2).first().value(QStringLiteral("id")), QJsonValue(3)) << "ids go on across reconnections";
}

TEST(ClientLifecycle, ManyConnectionsLeaveNoDescriptorOrProcessBehind)
{
    ClientHarness h;
    CodexAppServerClient& client = h.createClient();
    client.start();
    ASSERT_TRUE(h.waitForEvent(ClientHarness::happySnapshot()));
    client.stop();
    const int descriptorsBefore = openDescriptorCount();

    constexpr int rounds = 200;
    for (int round = 1; round <= rounds; ++round) {
        client.start();
        ASSERT_TRUE(h.waitForEventCount(4 + round)) << "round " << round;
        client.stop();
    }
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    EXPECT_TRUE(h.waitFor([] { return childProcessesOfThisProcess().isEmpty(); }, QStringLiteral("no child left"), 3000))
        << childProcessesOfThisProcess().join(", ").toStdString();
}

TEST(ClientLifecycle, DestroyingTheClientDropsQueuedDeliveries)
{
    ClientHarness h;
    h.setScenario(R"({"rules": [{"method": "account/read", "nth": 2,
                                 "actions": [{"preset": true}, {"note": "answered"}]}]})");
    CodexAppServerClient& client = h.createClient();
    client.start();
    // Without running the event loop the deliveries stay queued for the main thread.
    const QDeadlineTimer deadline(5000);
    while (h.receivedLines(1).size() < 5 && !deadline.hasExpired())
        QThread::msleep(5);
    ASSERT_EQ(h.receivedLines(1).size(), 5) << "waiting for the whole cycle on the child's side";
    // The child answers at once; once the client has read the last answer, stop() (a
    // round trip to its thread) returns only after that answer has been published.
    while (!h.firstPayload(1, QStringLiteral("note")) && !deadline.hasExpired())
        QThread::msleep(5);
    ASSERT_TRUE(h.firstPayload(1, QStringLiteral("note"))) << "the last answer was not written";
    ASSERT_TRUE(h.waitUntilOutputRead(1));
    client.stop();
    h.destroyClient();
    ClientHarness::deliverQueued();
    EXPECT_TRUE(h.events().isEmpty()) << h.events().join(QStringLiteral(", ")).toStdString();
}

TEST(ClientLifecycle, TheOwnerMayDestroyTheClientFromItsStatusCallback)
{
    // The clear and the snapshot travel in one delivery; an owner that lets go of
    // the client as the status clears must get no snapshot and no crash.
    ClientHarness h;
    CodexAppServerClient& client = h.createClient();
    QStringList seen;
    client.onStatus = [&](const std::optional<QString>& text) {
        seen.append(text ? QStringLiteral("status:") + *text : cleared);
        if (!text)
            h.destroyClient();
    };
    client.onSnapshot = [&](const UsageSnapshot&) { seen.append(QStringLiteral("snapshot")); };
    client.start();
    ASSERT_TRUE(h.waitFor([&] { return seen.contains(cleared); }, QStringLiteral("the clear before the snapshot")));
    ClientHarness::deliverQueued(); // the client is gone: what is queued is all that could come
    EXPECT_EQ(seen, QStringList({loading, checking, cleared}));
}

} // namespace
} // namespace tallyglass
