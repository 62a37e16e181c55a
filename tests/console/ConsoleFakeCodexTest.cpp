// tallyglass-status as a program: arguments, exit codes, signals and clean-up, against
// the scriptable fake app-server.

#include "tests/console/ConsoleProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

namespace tallyglass {
namespace {

const QString loading = QStringLiteral("사용량 불러오는 중…");
const QString checking = QStringLiteral("계정 확인 중… 이전 사용량 표시 중지");

class ConsoleFakeCodexTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(console_.isValid()) << console_.problem().toStdString();
        ASSERT_TRUE(scratch_.isValid());
        transcript_ = scratch_.filePath(QStringLiteral("transcript"));
        console_.environment().insert(QStringLiteral("FAKE_CODEX_TRANSCRIPT"), transcript_);
    }

    void useScenario(const QByteArray& json)
    {
        const QString path = scratch_.filePath(QStringLiteral("scenario.json"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(json);
        file.close();
        console_.environment().insert(QStringLiteral("FAKE_CODEX_SCENARIO"), path);
    }

    QString transcript() const
    {
        QFile file(transcript_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    ConsoleProcess console_{QStringLiteral(FAKE_CODEX_PATH)};
    QTemporaryDir scratch_;
    QString transcript_;
};

TEST_F(ConsoleFakeCodexTest, HelpExplainsItselfAndStartsNothing)
{
    for (const char* flag : {"--help", "-h"}) {
        const ConsoleRun run = console_.run({QString::fromLatin1(flag)});
        ASSERT_TRUE(run.finished) << run.describe().toStdString();
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_TRUE(run.out.startsWith("Usage: tallyglass-status")) << run.out.toStdString();
        EXPECT_TRUE(run.err.isEmpty());
        EXPECT_TRUE(run.leftovers.isEmpty());
    }
    EXPECT_TRUE(transcript().isEmpty()) << "no codex should have been started";
}

TEST_F(ConsoleFakeCodexTest, BadArgumentsPrintOneLineAndExitTwoWithoutStartingCodex)
{
    const QStringList cases[] = {
        {"--bogus"}, {"--timeout"}, {"--timeout", "soon"}, {"--watch", "0"}, {"now"}, {"--watch", "1", "--timeout", "1"},
    };
    for (const QStringList& arguments : cases) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const ConsoleRun run = console_.run(arguments);
        ASSERT_TRUE(run.finished) << run.describe().toStdString();
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.startsWith("tallyglass-status: ")) << run.err.toStdString();
        EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
        EXPECT_TRUE(run.err.endsWith('\n'));
    }
    EXPECT_TRUE(transcript().isEmpty()) << "no codex should have been started";
}

TEST_F(ConsoleFakeCodexTest, PrintsTheCycleAndExitsZeroAfterTheFirstSnapshot)
{
    const ConsoleRun run = console_.run({});
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 0) << run.describe().toStdString();
    EXPECT_TRUE(run.allLinesAreObjects) << run.describe().toStdString();
    EXPECT_EQ(run.statuses(), (QStringList{loading, checking, "null"})) << run.describe().toStdString();
    ASSERT_FALSE(run.lines.isEmpty());
    const QJsonObject snapshot = run.lines.last()["snapshot"].toObject();
    const QJsonObject fiveHour = snapshot["fiveHour"].toObject();
    EXPECT_EQ(fiveHour["usedPercent"].toInteger(), 37);
    EXPECT_EQ(fiveHour["remainingPercent"].toInteger(), 63);
    EXPECT_EQ(fiveHour["durationMinutes"].toInteger(), 300);
    EXPECT_EQ(fiveHour["resetsAt"].toInteger(), 1893456000);
    EXPECT_EQ(snapshot["week"].toObject()["resetsAt"].toInteger(), 1894060800);
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
    EXPECT_TRUE(transcript().contains(" eof") || transcript().contains(" sigterm")) << transcript().toStdString();
}

TEST_F(ConsoleFakeCodexTest, ReadingsGoToTheHistoryUnlessToldNotToAndPrintBack)
{
    const ConsoleRun none = console_.run({"--history"});
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_TRUE(none.out.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(console_.historyPath()).absolutePath())) << "--history creates nothing";
    ASSERT_EQ(console_.run({"--no-history"}).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(console_.historyPath()));

    const ConsoleRun first = console_.run({});
    ASSERT_EQ(first.exitCode, 0) << first.describe().toStdString();
    const QJsonObject printed = first.lines.last();
    // The same reading again within ten minutes is not stored twice.
    ASSERT_EQ(console_.run({}).exitCode, 0);

    const auto stored = [this] {
        QFile file(console_.historyPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray before = stored();
    for (const QStringList& arguments : {QStringList{"--history"}, QStringList{"--history", "--since", "1"}}) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const ConsoleRun history = console_.run(arguments);
        EXPECT_EQ(history.exitCode, 0);
        ASSERT_EQ(history.lines.size(), 1) << history.describe().toStdString();
        // receivedAt is kept to the millisecond.
        QJsonObject expected = printed["snapshot"].toObject(), got = history.lines[0]["snapshot"].toObject();
        EXPECT_NEAR(got["receivedAt"].toDouble(), expected["receivedAt"].toDouble(), 0.001);
        expected.remove("receivedAt");
        got.remove("receivedAt");
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(stored(), before) << "--history only reads";
    EXPECT_EQ(QDir(QFileInfo(console_.historyPath()).absolutePath()).entryList(QDir::Files),
              QStringList{"history.sqlite3"});

    // A store that is there but cannot be read is a failure, not an empty history.
    ASSERT_TRUE(QFile::remove(console_.historyPath()) && QDir().mkdir(console_.historyPath()));
    const ConsoleRun unreadable = console_.run({"--history"});
    EXPECT_EQ(unreadable.exitCode, 1);
    EXPECT_TRUE(unreadable.out.isEmpty());
    EXPECT_EQ(unreadable.err, "tallyglass-status: cannot read the history in " +
                                  QFile::encodeName(console_.historyPath()) + '\n');
}

TEST_F(ConsoleFakeCodexTest, ExitsThreeWhenTheTimeoutPassesFirstAndStopsCodex)
{
    useScenario(R"({"rules": [{"method": "initialize", "actions": []}]})");
    const ConsoleRun run = console_.run({"--timeout", "0.5"});
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 3) << run.describe().toStdString();
    EXPECT_EQ(run.statuses(), QStringList{loading});
    EXPECT_TRUE(run.err.contains("no result within 0.5 seconds")) << run.err.toStdString();
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

TEST_F(ConsoleFakeCodexTest, ExitsOneOnTheFirstStatusThatEndsTheCycle)
{
    useScenario(R"({"rules": [{"method": "account/read", "actions": [{"result": {"account": null}}]}]})");
    const ConsoleRun run = console_.run({});
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.statuses(),
              (QStringList{loading, checking, QStringLiteral("Codex에서 ChatGPT 로그인이 필요함 — 이전 사용량 표시 중지")}));
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

TEST_F(ConsoleFakeCodexTest, WithoutCodexAnywhereSaysSoAndExitsOne)
{
    QTemporaryDir empty;
    console_.environment().insert(QStringLiteral("PATH"), empty.path());
    const ConsoleRun run = console_.run({});
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.statuses(), QStringList{QStringLiteral("Codex CLI를 찾을 수 없음")});
}

TEST_F(ConsoleFakeCodexTest, WatchRefreshesUntilSigtermThenStopsCodexAndExitsZero)
{
    console_.startDetached({"--watch", "0.2"});
    ASSERT_TRUE(console_.waitForOutput("\"snapshot\"", 3, 20000)) << "waited for three snapshots in --watch mode";
    console_.sendSignal(SIGTERM);
    const ConsoleRun run = console_.wait(10000);
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.exitCode, 0) << run.describe().toStdString();
    EXPECT_TRUE(run.allLinesAreObjects);
    // One child served every cycle: a refresh reuses the running connection.
    EXPECT_EQ(transcript().count(" start pid "), 1) << transcript().toStdString();
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

TEST_F(ConsoleFakeCodexTest, SigintEndsWatchEvenWhenCodexIgnoresSigterm)
{
    useScenario(R"({"ignoreSigterm": true, "onEof": []})");
    console_.startDetached({"--watch", "60"});
    ASSERT_TRUE(console_.waitForOutput("\"snapshot\"", 1, 20000)) << "waited for the first snapshot";
    console_.sendSignal(SIGINT);
    const ConsoleRun run = console_.wait(10000);
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 0) << run.describe().toStdString();
    EXPECT_TRUE(transcript().contains(" sigterm")) << transcript().toStdString();
    EXPECT_TRUE(run.leftovers.isEmpty()) << "the client should have used SIGKILL: " << run.describe().toStdString();
}

TEST_F(ConsoleFakeCodexTest, SignalBeforeAResultStopsCodexAndExitsWithTheSignalCode)
{
    useScenario(R"({"rules": [{"method": "initialize", "actions": []}]})");
    console_.startDetached({});
    ASSERT_TRUE(console_.waitForOutput("\"status\"", 1, 20000)) << "waited for the loading status";
    console_.sendSignal(SIGTERM);
    const ConsoleRun run = console_.wait(10000);
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.exitCode, 128 + SIGTERM);
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

// The check every test above relies on: a console killed outright cannot stop its
// codex, and the orphan must be seen.
TEST_F(ConsoleFakeCodexTest, TheLeftoverCheckSeesTheCodexOfAKilledConsole)
{
    useScenario(R"({"onEof": []})"); // keeps running without its standard input
    console_.startDetached({"--watch", "60"});
    ASSERT_TRUE(console_.waitForOutput("\"snapshot\"", 1, 20000)) << "waited for the first snapshot";
    console_.sendSignal(SIGKILL);
    const ConsoleRun run = console_.wait(10000);
    ASSERT_EQ(run.leftovers.size(), 1) << run.describe().toStdString();
    EXPECT_TRUE(run.leftovers.first().contains(QFileInfo(QStringLiteral(FAKE_CODEX_PATH)).canonicalFilePath()))
        << run.describe().toStdString();
}

TEST_F(ConsoleFakeCodexTest, UnwritableOutputIsAFailureNotASuccess)
{
    console_.setStandardOutputFile(QStringLiteral("/dev/full"));
    const ConsoleRun run = console_.run({});
    ASSERT_TRUE(run.finished) << run.describe().toStdString();
    EXPECT_EQ(run.exitCode, 4) << run.describe().toStdString();
    EXPECT_TRUE(run.err.contains("standard output could not be written")) << run.err.toStdString();
    EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
}

} // namespace
} // namespace tallyglass
