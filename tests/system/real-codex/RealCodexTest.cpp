// tallyglass-status against the real, pinned Codex CLI, offline: CODEX_HOME puts the CLI
// into each sign-in state, and FakeBackend stands in for the ChatGPT backend.

#include "tests/console/ConsoleProcess.h"
#include "tests/doubles/fake-backend/FakeBackend.h"
#include "tests/doubles/fake-backend/FakeCodexHome.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tallyglass {
namespace {

const QString loading = QStringLiteral("사용량 불러오는 중…");
const QString checking = QStringLiteral("계정 확인 중… 이전 사용량 표시 중지");
const QString loginNeeded = QStringLiteral("Codex에서 ChatGPT 로그인이 필요함 — 이전 사용량 표시 중지");
const QString accountChanged = QStringLiteral("계정 상태 변경 — 이전 사용량 표시 중지");
const QString resetUnderway = QStringLiteral("한도 리셋 사용 중…");
const QStringList useReset{QStringLiteral("--use-reset"), QStringLiteral("--yes")};
constexpr int runLimitMs = 90000;

struct ProcessEntry {
    qint64 pid = 0;
    qint64 parent = 0;
    QString exe;
};

// Live (not zombie) processes, from /proc.
QList<ProcessEntry> liveProcesses()
{
    QList<ProcessEntry> list;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 2 || fields[0] == "Z")
            continue;
        list.append({entry.toLongLong(), fields[1].toLongLong(),
                     QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry))});
    }
    return list;
}

class RealCodexTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(QStringLiteral(CODEX_CLI_PATH)).isExecutable())
            << "the pinned Codex CLI is missing at " CODEX_CLI_PATH
               "; install it with: npm ci --prefix tests/system/codex-cli";
        ASSERT_TRUE(console_.isValid()) << console_.problem().toStdString();
        ASSERT_TRUE(codexHome_.isValid());
        console_.environment().insert(QStringLiteral("CODEX_HOME"), codexHome_.path());
    }

    void serveChatGpt(FakeBackend::Config config)
    {
        backend_ = std::make_unique<FakeBackend>(config);
        ASSERT_TRUE(backend_->start()) << "the backend double could not listen";
        ASSERT_TRUE(FakeCodexHome::writeChatGpt(codexHome_.path(), config.accountId, backend_->baseUrl()));
    }

    QString pendingResetPath() const
    {
        return QFileInfo(console_.historyPath()).dir().filePath(QStringLiteral("pending-reset"));
    }

    // The consume requests the backend received, as objects.
    QList<QJsonObject> consumeBodies() const
    {
        QList<QJsonObject> bodies;
        for (const FakeBackend::PostedRequest& request : backend_->postedRequests())
            if (request.path == QLatin1String(FakeBackend::consumePath))
                bodies.append(QJsonDocument::fromJson(request.body).object());
        return bodies;
    }

    // Texts the CLI's own account/updated notification may add while a read is pending.
    static QStringList withoutNotificationTexts(QStringList statuses)
    {
        statuses.removeAll(accountChanged);
        return statuses;
    }

    ConsoleProcess console_{QStringLiteral(CODEX_CLI_PATH)};
    QTemporaryDir codexHome_;
    std::unique_ptr<FakeBackend> backend_;
};

TEST_F(RealCodexTest, SignedOutAsksForAChatGptLogin)
{
    ASSERT_TRUE(FakeCodexHome::writeSignedOut(codexHome_.path()));
    const ConsoleRun run = console_.run({}, runLimitMs);
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 1) << run.describe().toStdString();
    EXPECT_EQ(run.statuses(), (QStringList{loading, checking, loginNeeded})) << run.describe().toStdString();
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

TEST_F(RealCodexTest, AnApiKeyIsNoChatGptLogin)
{
    ASSERT_TRUE(FakeCodexHome::writeApiKey(codexHome_.path()));
    const ConsoleRun run = console_.run({}, runLimitMs);
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 1) << run.describe().toStdString();
    EXPECT_EQ(run.statuses(), (QStringList{loading, checking, loginNeeded})) << run.describe().toStdString();
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

TEST_F(RealCodexTest, ChatGptWithTheWholeAllowancePrintsTheBackendsFigures)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    FakeBackend::Config config = FakeBackend::wholeAllowance({}, now);
    config.fiveHourUsedPercent = 37;
    config.weekUsedPercent = 81;
    config.fiveHourResetAt = now + 4000;
    config.weekResetAt = now + 400000;
    serveChatGpt(config);

    const double before = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    const ConsoleRun run = console_.run({}, runLimitMs);
    const double after = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    ASSERT_EQ(run.exitCode, 0) << run.describe().toStdString();
    EXPECT_TRUE(run.allLinesAreObjects) << run.describe().toStdString();
    EXPECT_EQ(withoutNotificationTexts(run.statuses()), (QStringList{loading, checking, "null"}))
        << run.describe().toStdString();

    const QJsonObject snapshot = run.lines.last()["snapshot"].toObject();
    const QJsonObject fiveHour = snapshot["fiveHour"].toObject();
    EXPECT_EQ(fiveHour["usedPercent"].toInteger(-1), 37);
    EXPECT_EQ(fiveHour["remainingPercent"].toInteger(-1), 63);
    EXPECT_EQ(fiveHour["durationMinutes"].toInteger(-1), 300);
    EXPECT_EQ(fiveHour["resetsAt"].toDouble(), double(config.fiveHourResetAt));
    const QJsonObject week = snapshot["week"].toObject();
    EXPECT_EQ(week["usedPercent"].toInteger(-1), 81);
    EXPECT_EQ(week["remainingPercent"].toInteger(-1), 19);
    EXPECT_EQ(week["durationMinutes"].toInteger(-1), 10080);
    EXPECT_EQ(week["resetsAt"].toDouble(), double(config.weekResetAt));
    EXPECT_GE(snapshot["receivedAt"].toDouble(), before - 1);
    EXPECT_LE(snapshot["receivedAt"].toDouble(), after + 1);

    // Everything beyond the codex windows, as the client published it.
    const QJsonArray limits = snapshot["limits"].toArray();
    ASSERT_EQ(limits.size(), 1) << run.describe().toStdString();
    EXPECT_EQ(limits[0]["id"], "codex_bengalfox");
    EXPECT_EQ(limits[0]["name"], "GPT-5.3-Codex-Spark");
    EXPECT_EQ(limits[0]["fiveHour"]["usedPercent"].toInteger(-1), 40);
    EXPECT_EQ(limits[0]["week"]["usedPercent"].toInteger(-1), 5);
    EXPECT_EQ(snapshot["credits"].toObject(), (QJsonObject{{"hasCredits", true}, {"unlimited", false}, {"balance", "125.5"}}));
    EXPECT_EQ(snapshot["plan"], "plus");
    EXPECT_EQ(snapshot["reached"], "workspace_member_usage_limit_reached");
    EXPECT_EQ(snapshot["spendControl"].toObject(),
              (QJsonObject{{"remainingPercent", 75}, {"resetsAt", double(now + 3 * 86400)}}));
    EXPECT_EQ(snapshot["resetCredits"].toObject(),
              (QJsonObject{{"available", 2},
                           {"credits", QJsonArray{QJsonObject{{"id", "rlrc-later"}, {"expiresAt", double(now + 10 * 86400)}},
                                                  QJsonObject{{"id", "rlrc-soon"}, {"expiresAt", double(now + 20 * 3600)}}}}}))
        << run.describe().toStdString();

    const QStringList paths = backend_->requestedPaths();
    EXPECT_TRUE(paths.contains(FakeBackend::accountsCheckPath)) << paths.join(' ').toStdString();
    EXPECT_TRUE(paths.contains(FakeBackend::usagePath)) << paths.join(' ').toStdString();
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

TEST_F(RealCodexTest, ABankedResetIsSpentOnceAndTheNewWindowsAreRead)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    FakeBackend::Config config = FakeBackend::wholeAllowance({}, now);
    config.fiveHourUsedPercent = 96;
    config.fiveHourResetAt = now + 600;
    serveChatGpt(config);

    const ConsoleRun run = console_.run(useReset, runLimitMs);
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 0) << run.describe().toStdString();
    const QStringList statuses = withoutNotificationTexts(run.statuses());
    EXPECT_TRUE(statuses.contains(resetUnderway)) << run.describe().toStdString();
    EXPECT_TRUE(statuses.contains(QStringLiteral("한도 리셋 완료 — 새 사용량 불러오는 중"))) << run.describe().toStdString();
    EXPECT_TRUE(run.lines.contains(QJsonObject{{"resetOutcome", "reset"}})) << run.describe().toStdString();

    // One POST, naming the credit that expires first; the reading after it shows the
    // windows the backend started anew.
    const QList<QJsonObject> bodies = consumeBodies();
    ASSERT_EQ(bodies.size(), 1) << run.describe().toStdString();
    EXPECT_EQ(bodies[0]["credit_id"], "rlrc-soon");
    EXPECT_FALSE(bodies[0]["redeem_request_id"].toString().isEmpty());
    const QJsonObject after = run.lines.last()["snapshot"].toObject();
    EXPECT_EQ(after["fiveHour"]["usedPercent"].toInteger(-1), 0) << run.describe().toStdString();
    EXPECT_GE(after["fiveHour"]["resetsAt"].toDouble(), double(now + 18000));
    EXPECT_EQ(after["resetCredits"]["available"].toInteger(-1), 1);
    EXPECT_FALSE(QFileInfo::exists(pendingResetPath())) << "the key outlived its outcome";
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

// The CLI gives up on a slow backend after about 10 s, though the backend may have acted;
// the retry must send the same request, which the backend then recognises.
TEST_F(RealCodexTest, ARetryAfterTheClisTimeOutSendsTheSameRequest)
{
    FakeBackend::Config config = FakeBackend::wholeAllowance({}, QDateTime::currentSecsSinceEpoch());
    config.consumeDelayMs = 15000;
    serveChatGpt(config);

    const ConsoleRun slow = console_.run(useReset, runLimitMs);
    ASSERT_TRUE(slow.finished) << slow.describe().toStdString();
    EXPECT_EQ(slow.exitCode, 1) << slow.describe().toStdString();
    EXPECT_TRUE(slow.statuses().contains(QStringLiteral("한도 리셋 확인 실패 (코드 -32603) — 다시 시도하면 같은 요청으로 확인")))
        << slow.describe().toStdString();
    EXPECT_TRUE(QFileInfo::exists(pendingResetPath())) << "the key was dropped without an outcome";

    FakeBackend::Config prompt = backend_->config();
    prompt.consumeDelayMs = 0;
    backend_->setConfig(prompt);
    const ConsoleRun retry = console_.run(useReset, runLimitMs);
    ASSERT_TRUE(retry.finished) << retry.describe().toStdString();
    EXPECT_EQ(retry.exitCode, 0) << retry.describe().toStdString();
    EXPECT_TRUE(retry.lines.contains(QJsonObject{{"resetOutcome", "alreadyRedeemed"}})) << retry.describe().toStdString();

    const QList<QJsonObject> bodies = consumeBodies();
    ASSERT_EQ(bodies.size(), 2) << retry.describe().toStdString();
    EXPECT_EQ(bodies[1], bodies[0]) << "the retry is another request";
    EXPECT_EQ(bodies[0]["credit_id"], "rlrc-soon");
    EXPECT_EQ(backend_->config().resetCredits[0].status, "available") << "a second reset was spent";
    EXPECT_FALSE(QFileInfo::exists(pendingResetPath()));
    EXPECT_TRUE(retry.leftovers.isEmpty()) << retry.describe().toStdString();
}

TEST_F(RealCodexTest, ANullWeekWindowIsPrintedAsNull)
{
    FakeBackend::Config config;
    config.usage = FakeBackend::UsageAnswer::NullWeek;
    config.fiveHourUsedPercent = 100;
    serveChatGpt(config);

    const ConsoleRun run = console_.run({}, runLimitMs);
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    ASSERT_EQ(run.exitCode, 0) << run.describe().toStdString();
    const QJsonObject snapshot = run.lines.last()["snapshot"].toObject();
    EXPECT_TRUE(snapshot["week"].isNull()) << run.describe().toStdString();
    EXPECT_EQ(snapshot["fiveHour"].toObject()["remainingPercent"].toInteger(-1), 0);
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

TEST_F(RealCodexTest, AFailingUsageBackendReconnectsOnceThenGivesUp)
{
    FakeBackend::Config config;
    config.usage = FakeBackend::UsageAnswer::ServerError;
    serveChatGpt(config);

    const ConsoleRun run = console_.run({}, runLimitMs);
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 1) << run.describe().toStdString();
    const QString failure = QStringLiteral("사용량 조회 실패 (코드 -32603)");
    EXPECT_EQ(withoutNotificationTexts(run.statuses()),
              (QStringList{loading, checking, failure + QStringLiteral(" — Codex 재연결 중…"), loading, checking,
                           failure + QStringLiteral(" — 자동 재시도 중단, 잠시 후 새로고침 (이전 사용량 표시 중지)")}))
        << run.describe().toStdString();
    for (const QJsonObject& line : run.lines)
        EXPECT_FALSE(line.contains("snapshot")) << run.describe().toStdString();
    // One usage request per connection: the first and the one after the reconnect.
    EXPECT_EQ(backend_->requestedPaths().count(FakeBackend::usagePath), 2) << backend_->requestedPaths().join(' ').toStdString();
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

// The npm codex is a node launcher (on the Node version here) that runs the native
// binary as its child. When the launcher dies, the native server must not be left
// running with parent 1: the client closes its input and ends the process group.
TEST_F(RealCodexTest, KillingTheNpmLauncherTakesTheNativeServerWithIt)
{
    ConsoleProcess console{QStringLiteral(CODEX_LAUNCHER_PATH)};
    ASSERT_TRUE(console.isValid()) << console.problem().toStdString();
    console.environment().insert(QStringLiteral("CODEX_HOME"), codexHome_.path());
    ASSERT_TRUE(FakeCodexHome::writeSignedOut(codexHome_.path()));
    console.startDetached({QStringLiteral("--watch"), QStringLiteral("3600")});
    ASSERT_TRUE(console.waitForOutput("\"status\"", 3, runLimitMs)) << "no reading through the launcher";

    const QString native = QFileInfo(QStringLiteral(CODEX_CLI_PATH)).canonicalFilePath();
    qint64 launcher = 0, server = 0;
    for (const ProcessEntry& p : liveProcesses())
        if (p.parent == console.processId())
            launcher = p.pid;
    for (const ProcessEntry& p : liveProcesses())
        if (p.parent == launcher && p.exe == native)
            server = p.pid;
    ASSERT_GT(launcher, 0) << "the console runs no launcher";
    ASSERT_GT(server, 0) << "the launcher runs no native codex";

    ::kill(pid_t(launcher), SIGKILL);
    const auto serverAlive = [&] {
        for (const ProcessEntry& p : liveProcesses())
            if (p.pid == server)
                return true;
        return false;
    };
    QElapsedTimer elapsed;
    elapsed.start();
    const QDeadlineTimer deadline(5000);
    while (serverAlive() && !deadline.hasExpired())
        QThread::msleep(10);
    RecordProperty("native_server_gone_ms", int(elapsed.elapsed()));
    EXPECT_FALSE(serverAlive()) << "the native codex outlived its launcher by 5 s";
    for (const ProcessEntry& p : liveProcesses())
        EXPECT_FALSE(p.parent == 1 && p.exe == native) << "native codex " << p.pid << " left with parent 1";

    console.sendSignal(SIGTERM);
    const ConsoleRun run = console.wait(10000);
    EXPECT_TRUE(run.finished) << run.describe().toStdString();
    // This process adopts what the launcher left behind (see ConsoleTestMain.cpp); the
    // native codex and its helpers come to it dead, as zombies for it to reap.
    for (const QString& left : run.leftovers + run.otherOrphans)
        EXPECT_TRUE(left.endsWith(QStringLiteral("(state Z)"))) << "still running: " << left.toStdString();
}

} // namespace
} // namespace tallyglass
