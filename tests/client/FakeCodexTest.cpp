// fake-codex run directly: the scenario features the client tests rely on.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <csignal>

namespace {

class FakeRun {
public:
    explicit FakeRun(const QByteArray& scenario)
    {
        QFile file(dir_.filePath(QStringLiteral("scenario.json")));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(scenario);
        file.close();
    }

    QString transcriptPath() const { return dir_.filePath(QStringLiteral("transcript.txt")); }

    void start(const QStringList& arguments = {QStringLiteral("app-server")})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("FAKE_CODEX_SCENARIO"), dir_.filePath(QStringLiteral("scenario.json")));
        environment.insert(QStringLiteral("FAKE_CODEX_TRANSCRIPT"), transcriptPath());
        process_.setProcessEnvironment(environment);
        process_.start(QStringLiteral(FAKE_CODEX_PATH), arguments);
        ASSERT_TRUE(process_.waitForStarted(5000)) << "fake-codex did not start";
        process_.setReadChannel(QProcess::StandardOutput);
    }

    void send(const QByteArray& line) { process_.write(line + '\n'); }

    // Reads standard output until it holds `count` complete lines (bounded).
    QList<QByteArray> readLines(int count, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (output_.count('\n') < count && !deadline.hasExpired()) {
            process_.waitForReadyRead(50);
            output_ += process_.readAllStandardOutput();
        }
        EXPECT_GE(output_.count('\n'), count) << "waiting for " << count << " lines, got: " << output_.toStdString();
        QList<QByteArray> lines = output_.split('\n');
        lines.removeLast();
        return lines;
    }

    // Closes stdin and waits for the exit; returns the exit code (-1 on a crash or time-out).
    int finish(int timeoutMs = 5000)
    {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(timeoutMs)) {
            ADD_FAILURE() << "fake-codex did not exit within " << timeoutMs << " ms";
            process_.kill();
            process_.waitForFinished(2000);
            return -1;
        }
        output_ += process_.readAllStandardOutput();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    QStringList transcript() const
    {
        QFile file(transcriptPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QProcess& process() { return process_; }
    const QByteArray& output() const { return output_; }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QByteArray output_;
};

QJsonObject parse(const QByteArray& line)
{
    const QJsonDocument document = QJsonDocument::fromJson(line);
    EXPECT_TRUE(document.isObject()) << "not a JSON object: " << line.toStdString();
    return document.object();
}

TEST(FakeCodex, HappyPresetAnswersTheCycleAndEchoesIds)
{
    FakeRun run("{}");
    run.start();
    run.send(R"({"id":1,"method":"initialize","params":{}})");
    run.send(R"({"method":"initialized"})");
    run.send(R"({"id":"x","method":"account/read","params":{"refreshToken":true}})");
    run.send(R"({"id":3,"method":"account/rateLimits/read","params":{}})");
    run.send(R"({"id":4,"method":"unknown/method","params":{}})");
    const QList<QByteArray> lines = run.readLines(3);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(parse(lines[0]), QJsonDocument::fromJson(R"({"id":1,"result":{"userAgent":"fake"}})").object());
    EXPECT_EQ(parse(lines[1]).value("id"), QJsonValue("x"));
    EXPECT_EQ(parse(lines[1]).value("result").toObject().value("account").toObject().value("type"), "chatgpt");
    EXPECT_EQ(parse(lines[2]).value("id"), QJsonValue(3));
    EXPECT_EQ(parse(lines[2]).value("result").toObject().value("rateLimits").toObject().value("primary").toObject()
                  .value("usedPercent"),
              QJsonValue(37));
    EXPECT_EQ(run.finish(), 0);
    EXPECT_EQ(run.output().count('\n'), 3) << "notifications and unknown methods get no answer";

    const QStringList transcript = run.transcript();
    ASSERT_GE(transcript.size(), 5);
    EXPECT_TRUE(transcript[0].startsWith(QStringLiteral("1 start pid ")));
    EXPECT_EQ(transcript[1], QStringLiteral(R"(1 argv ["app-server"])"));
    EXPECT_TRUE(transcript[2].startsWith(QStringLiteral("1 cwd /")));
    EXPECT_TRUE(transcript[3].startsWith(QStringLiteral("1 path ")));
    EXPECT_TRUE(transcript[4].startsWith(QStringLiteral("1 fds [")));
    EXPECT_EQ(transcript.mid(5), QStringList({
                                     QStringLiteral(R"(1 in {"id":1,"method":"initialize","params":{}})"),
                                     QStringLiteral(R"(1 in {"method":"initialized"})"),
                                     QStringLiteral(R"(1 in {"id":"x","method":"account/read","params":{"refreshToken":true}})"),
                                     QStringLiteral(R"(1 in {"id":3,"method":"account/rateLimits/read","params":{}})"),
                                     QStringLiteral(R"(1 in {"id":4,"method":"unknown/method","params":{}})"),
                                     QStringLiteral("1 eof"),
                                     QStringLiteral("1 exit 0"),
                                 }));
}

TEST(FakeCodex, RulesByOccurrenceRawOutputAndExit)
{
    FakeRun run(R"({
      "onStart": [{"send": {"method": "hello"}}, {"stderr": "ab", "repeat": 5000}],
      "rules": [
        {"method": "account/read", "nth": 2, "actions": [{"error": {"code": 401, "message": "no"}, "eol": "\r\n"}]},
        {"method": "account/read", "nth": 3, "actions": [
          {"chunks": ["{\"id\":$id,", "\"result\":{}}\n"], "pauseMs": 20},
          {"raw": "garbage\n\n[1,2]\n"}, {"send": 42}]},
        {"method": "account/read", "nth": 4, "actions": [{"sleep": 50}, {"exit": 7}]}
      ]})");
    run.start();
    run.send(R"({"id":1,"method":"account/read"})");
    run.send(R"({"id":2,"method":"account/read"})");
    run.send(R"({"id":3,"method":"account/read"})");
    const QList<QByteArray> lines = run.readLines(8);
    ASSERT_EQ(lines.size(), 8);
    EXPECT_EQ(lines[0], R"({"method":"hello"})");
    EXPECT_EQ(parse(lines[1]).value("id"), QJsonValue(1)) << "the first read falls back to the preset";
    EXPECT_EQ(lines[2], R"({"error":{"code":401,"message":"no"},"id":2})" "\r");
    EXPECT_EQ(lines[3], R"({"id":3,"result":{}})");
    EXPECT_EQ(lines.mid(4), QList<QByteArray>({"garbage", "", "[1,2]", "42"}));
    run.send(R"({"id":4,"method":"account/read"})");
    ASSERT_TRUE(run.process().waitForFinished(5000)) << "waiting for the exit after the 4th account/read";
    EXPECT_EQ(run.process().exitCode(), 7);
    EXPECT_EQ(run.process().readAllStandardError(), QByteArray("ab").repeated(5000));
    EXPECT_EQ(run.transcript().last(), QStringLiteral("1 exit 7"));
}

TEST(FakeCodex, ChildrenPickTheirOwnScenarioAndSigtermCanBeIgnored)
{
    FakeRun first(R"({"children": [
      {"ignoreSigterm": true, "preset": "none", "rules": [{"method": "ping", "actions": [{"result": {}}]}]},
      {"onStart": [{"exit": 4}]}]})");
    first.start();
    first.send(R"({"id":1,"method":"ping"})");
    ASSERT_EQ(first.readLines(1).size(), 1); // the handler is installed before input is read
    ::kill(static_cast<pid_t>(first.process().processId()), SIGTERM);
    first.send(R"({"id":2,"method":"initialize"})");
    EXPECT_FALSE(first.process().waitForFinished(300)) << "child 1 ignores SIGTERM";
    EXPECT_EQ(first.finish(), 0);
    EXPECT_EQ(first.output().count('\n'), 1) << "the preset none answers nothing";
    EXPECT_TRUE(first.transcript().contains(QStringLiteral("1 sigterm")));

    // A second launch sharing the transcript counts as child 2 and plays the second entry.
    QProcess second;
    QProcessEnvironment environment = first.process().processEnvironment();
    second.setProcessEnvironment(environment);
    second.start(QStringLiteral(FAKE_CODEX_PATH), {QStringLiteral("app-server")});
    ASSERT_TRUE(second.waitForFinished(5000)) << "waiting for child 2 to exit at start";
    EXPECT_EQ(second.exitCode(), 4);
    EXPECT_TRUE(first.transcript().contains(QStringLiteral("2 exit 4")));
}

TEST(FakeCodex, RefusesOtherModes)
{
    FakeRun run("{}");
    run.start({QStringLiteral("exec")});
    ASSERT_TRUE(run.process().waitForFinished(5000));
    EXPECT_EQ(run.process().exitCode(), 2);
}

} // namespace
