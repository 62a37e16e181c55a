// tallyglass-status as a program: arguments, exit codes, signals and clean-up, against
// the scriptable fake app-server.

#include "tests/console/ConsoleProcess.h"

#include <QDir>
#include <QJsonArray>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
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
        {"--use-reset"}, // no terminal to ask on, and no --yes
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

    // A bar shows "stale" only for a reading that has taken a second, and then at once.
    const std::pair<QByteArray, QStringList> bars[] = {
        {"{}", {"ok"}},
        {R"({"rules": [{"method": "initialize", "actions": [{"sleep": 1500}, {"preset": true}]}]})", {"stale", "ok"}},
    };
    for (const auto& [scenario, classes] : bars) {
        useScenario(scenario);
        const ConsoleRun bar = console_.run({"--format", "waybar"});
        EXPECT_EQ(bar.exitCode, 0) << bar.describe().toStdString();
        QStringList seen;
        for (const QJsonObject& line : bar.lines)
            seen.append(line["class"].toString());
        EXPECT_EQ(seen, classes) << bar.describe().toStdString();
    }
}

TEST_F(ConsoleFakeCodexTest, ReadingsGoToTheHistoryUnlessToldNotToAndPrintBack)
{
    const ConsoleRun none = console_.run({"--history"});
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_TRUE(none.out.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(console_.historyPath()).absolutePath())) << "--history creates nothing";
    ASSERT_EQ(console_.run({"--no-history"}).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(console_.historyPath()));

    // Another bucket is stored and printed back with the codex windows.
    useScenario(R"({"rules": [{"method": "account/rateLimits/read", "actions": [{"result": {"rateLimitsByLimitId": {
        "codex": {"limitId": "codex", "primary": {"usedPercent": 37, "windowDurationMins": 300, "resetsAt": 1893456000}},
        "gpt_x": {"limitId": "gpt_x", "limitName": "GPT X",
                  "secondary": {"usedPercent": 5, "windowDurationMins": 10080, "resetsAt": 1894060800}}}}}]}]})");
    const ConsoleRun first = console_.run({});
    ASSERT_EQ(first.exitCode, 0) << first.describe().toStdString();
    const QJsonObject printed = first.lines.last();
    ASSERT_EQ(printed["snapshot"].toObject()["limits"].toArray().size(), 1) << first.describe().toStdString();
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
        // receivedAt is kept to the millisecond; the windows of every bucket as printed.
        const QJsonObject expected = printed["snapshot"].toObject(), got = history.lines[0]["snapshot"].toObject();
        EXPECT_NEAR(got["receivedAt"].toDouble(), expected["receivedAt"].toDouble(), 0.001);
        for (const char* key : {"fiveHour", "week", "limits"})
            EXPECT_EQ(got[key], expected[key]) << key;
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
    const QString changed = QStringLiteral("계정 상태 변경 — 이전 사용량 표시 중지");
    const std::pair<QByteArray, QStringList> cases[] = {
        {R"({"rules": [{"method": "initialize", "actions": []}]})", {loading}},
        // An endless account/updated flood repeats one status: it is printed once.
        {R"({"rules": [{"method": "initialize", "actions": [{"preset": true}, {"flood": {"method": "account/updated"}}]},
                       {"method": "account/read", "actions": []}]})",
         {loading, checking, changed}},
    };
    for (const auto& [scenario, statuses] : cases) {
        useScenario(scenario);
        const ConsoleRun run = console_.run({"--timeout", "0.5"});
        ASSERT_TRUE(run.finished) << run.describe().toStdString();
        EXPECT_EQ(run.exitCode, 3) << run.err.toStdString();
        // Cut short: a flood printed unchecked would be thousands of lines.
        EXPECT_EQ(run.statuses().join(" | ").left(500).toStdString(), statuses.join(" | ").toStdString());
        EXPECT_TRUE(run.err.contains("no result within 0.5 seconds")) << run.err.toStdString();
        EXPECT_TRUE(run.leftovers.isEmpty()) << run.leftovers.join(", ").toStdString();
    }
}

// --use-reset reads, spends one reset with a key kept on disk until an outcome, prints the
// outcome and, after a reset, the new reading; the exit code follows the outcome.
TEST_F(ConsoleFakeCodexTest, UseResetSpendsOneResetAndExitsByItsOutcome)
{
    const QString keyFile = QFileInfo(console_.historyPath()).path() + QStringLiteral("/pending-reset");
    const QString underway = QStringLiteral("한도 리셋 사용 중…");
    struct Case {
        QByteArray consume; // the actions answering the consume request
        QStringList arguments;
        int exitCode;
        QString outcome; // empty: no resetOutcome line
        QStringList statusesAfterSpending;
        bool snapshotAfter;
        bool keyKept;
    };
    const Case cases[] = {
        {R"([{"preset": true}])", {"--no-history"}, 0, "reset",
         {underway, QStringLiteral("한도 리셋 완료 — 새 사용량 불러오는 중"), checking, "null"}, true, false},
        {R"([{"result": {"outcome": "alreadyRedeemed"}}])", {}, 0, "alreadyRedeemed",
         {underway, QStringLiteral("이미 처리된 한도 리셋 — 새 사용량 불러오는 중"), checking, "null"}, true, false},
        {R"([{"result": {"outcome": "noCredit"}}])", {}, 1, "noCredit",
         {underway, QStringLiteral("사용할 수 있는 한도 리셋 없음")}, false, false},
        {R"([{"error": {"code": -32600, "message": "unknown variant `account/rateLimitResetCredit/consume`"}}])", {}, 1,
         {}, {underway, QStringLiteral("이 Codex 버전은 한도 리셋을 지원하지 않음")}, false, false},
        {R"([{"error": {"code": -32603, "message": "rate limit reset consume timed out"}}])", {}, 1, {},
         {underway, QStringLiteral("한도 리셋 확인 실패 (코드 -32603) — 다시 시도하면 같은 요청으로 확인")}, false, true},
        // Unanswered: the time-out ends it and the key stays for the retry.
        {R"([])", {"--timeout", "2"}, 3, {}, {underway}, false, true},
    };
    // On a terminal it asks first; any answer but y or yes spends nothing and starts nothing.
    QProcess terminal;
    terminal.setProcessEnvironment(console_.environment());
    terminal.start("script", {"-qec", TALLYGLASS_STATUS_PATH " --use-reset", "/dev/null"});
    terminal.write("n\n");
    terminal.closeWriteChannel();
    ASSERT_TRUE(terminal.waitForFinished(10000));
    EXPECT_EQ(terminal.exitCode(), 1);
    EXPECT_TRUE(terminal.readAll().contains("한도 리셋 1개를 사용할까요? [y/N] "));
    EXPECT_TRUE(transcript().isEmpty()) << transcript().toStdString();

    // Two banked resets: the one that expires first is spent.
    const QByteArray rateLimits = R"({"method": "account/rateLimits/read", "actions": [{"result": {
        "rateLimits": {"limitId": "codex", "primary": {"usedPercent": 37, "windowDurationMins": 300, "resetsAt": 1893456000}},
        "rateLimitResetCredits": {"availableCount": 2, "credits": [
            {"id": "rc_later", "status": "available", "expiresAt": 1893600000},
            {"id": "rc_sooner", "status": "available", "expiresAt": 1893500000}]}}}]})";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.consume.toStdString());
        QFile::remove(keyFile);
        QFile::remove(transcript_);
        useScenario(R"({"rules": [)" + rateLimits + R"(, {"method": "account/rateLimitResetCredit/consume", "actions": )"
                    + c.consume + "}]}");
        const ConsoleRun run = console_.run(QStringList{"--use-reset", "--yes"} + c.arguments);
        ASSERT_TRUE(run.finished) << run.describe().toStdString();
        EXPECT_EQ(run.exitCode, c.exitCode) << run.describe().toStdString();
        EXPECT_EQ(run.statuses(), QStringList({loading, checking, "null"}) + c.statusesAfterSpending)
            << run.describe().toStdString();
        QStringList outcomes;
        qsizetype snapshots = 0;
        for (const QJsonObject& line : run.lines) {
            if (line.contains("resetOutcome"))
                outcomes.append(line["resetOutcome"].toString());
            // The reading carries what the allowance told.
            if (line.contains("snapshot") && snapshots++ == 0) {
                EXPECT_EQ(line["snapshot"]["resetCredits"]["available"].toInt(), 2) << run.describe().toStdString();
            }
        }
        EXPECT_EQ(outcomes, c.outcome.isEmpty() ? QStringList() : QStringList{c.outcome});
        EXPECT_EQ(snapshots, c.snapshotAfter ? 2 : 1);
        // After a reset the new reading comes last.
        EXPECT_EQ(run.lines.last().contains("snapshot"), c.snapshotAfter) << run.describe().toStdString();
        EXPECT_FALSE(c.arguments.contains("--no-history") && QFileInfo::exists(console_.historyPath()));
        EXPECT_EQ(transcript().count("account/rateLimitResetCredit/consume"), 1) << transcript().toStdString();
        EXPECT_TRUE(transcript().contains(R"("creditId":"rc_sooner")")) << transcript().toStdString();
        EXPECT_EQ(QFileInfo::exists(keyFile), c.keyKept);
        EXPECT_TRUE(run.leftovers.isEmpty()) << run.describe().toStdString();
    }
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
