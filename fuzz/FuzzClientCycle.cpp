// Drives the client's reading cycle through its real path (line framing, pending
// requests with deadlines, the cycle, recovery, spending a banked reset) with a
// scripted connection in place of the child, and both clocks under the input's
// control, all on this thread with no event loop: one input is one run of plain calls.
// The input is a list of steps: calls from the shell, answers to whatever was asked,
// raw bytes, notifications, time passing, the child ending, writes failing.
//
// Checked on every input: a snapshot is published only on an answer that shows the
// same ChatGPT account as the one read before its usage read; request ids only rise;
// at most one automatic reconnect between two refreshes; at most one connection at a
// time; a reset is never asked while a reading is under way, and while its key file
// exists every attempt carries the same key; every launched connection is stopped by
// the end.

#include "client/AppServerConnection.h"
#include "fuzz/FuzzReplay.h"
#include "client/ReadingCycle.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <unistd.h>
#include <vector>

namespace tallyglass {
namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
    bool empty() const { return left_ == 0; }
    std::uint8_t byte()
    {
        if (left_ == 0)
            return 0;
        --left_;
        return *p_++;
    }
    QByteArray bytes(std::size_t most)
    {
        const std::size_t n = std::min<std::size_t>(most, left_);
        QByteArray out(reinterpret_cast<const char*>(p_), qsizetype(n));
        p_ += n;
        left_ -= n;
        return out;
    }

private:
    const std::uint8_t* p_;
    std::size_t left_;
};

const QString kConsume = QStringLiteral("account/rateLimitResetCredit/consume");

struct Received {
    QString method; // of the request this answers
    std::optional<QJsonObject> chatgptAccount;
    bool usage = false;
};

struct World;

class ScriptedConnection final : public AppServerConnection {
public:
    ScriptedConnection(World& world, Events events, double timeout)
        : AppServerConnection(std::move(events), timeout)
        , world_(world)
    {
        ++alive;
    }
    ~ScriptedConnection() override { --alive; }
    static inline int alive = 0;
    // Hands over a message as if it had come as a line, without the framing's cost.
    void deliver(const QJsonObject& message)
    {
        if (!isClosed())
            handler(message);
    }
    std::function<void(const QJsonObject&)> handler;
    using AppServerConnection::expireOverdue;
    using AppServerConnection::receive;
    using AppServerConnection::reportEnd;

protected:
    bool writeLine(const QByteArray& line) override;
    void shutDown() override;
    qint64 nowMs() const override;

private:
    World& world_;
};

struct World {
    qint64 monotonicMs = 1'000'000;
    double wallSeconds = 1'700'000'000;
    bool failNextWrite = false;
    bool failNextLaunch = false;
    int launched = 0;
    int stopped = 0;
    int reconnectsSinceRefresh = 0;
    std::int64_t lastId = 0;
    ScriptedConnection* current = nullptr;
    std::map<std::int64_t, QString> asked; // id → method, on the current connection
    std::vector<Received> received;        // answers on the current connection, in order
    QString keyFile;
    QByteArray lastKey; // of the last reset asked while its key file existed

    void record(const QJsonObject& message)
    {
        const QJsonValue method = message.value(QLatin1String("method"));
        if (method.isString()) {
            if (method.toString() == QLatin1String("account/rateLimits/updated"))
                reconnectsSinceRefresh = 0; // may start a new cycle
            return;
        }
        const QJsonValue idValue = message.value(QLatin1String("id"));
        if (!idValue.isDouble())
            return;
        const auto it = asked.find(std::int64_t(idValue.toDouble()));
        if (it == asked.end())
            return;
        Received r {it->second, std::nullopt, false};
        const QJsonObject result = message.value(QLatin1String("result")).toObject();
        const QJsonValue account = result.value(QLatin1String("account"));
        if (account.isObject() && account.toObject().value(QLatin1String("type")) == QLatin1String("chatgpt"))
            r.chatgptAccount = account.toObject();
        r.usage = it->second == QLatin1String("account/rateLimits/read") && !result.isEmpty();
        received.push_back(r);
    }

    // The answer being handled shows account A, after a usage answer that followed an
    // answer showing the same account A.
    void checkSnapshot() const
    {
        if (received.empty() || received.back().method != QLatin1String("account/read")
            || !received.back().chatgptAccount)
            fail("snapshot published outside an account answer showing a ChatGPT account");
        const QJsonObject& account = *received.back().chatgptAccount;
        auto it = received.rbegin() + 1;
        while (it != received.rend() && !it->usage)
            ++it;
        if (it == received.rend())
            fail("snapshot published without a usage answer");
        while (it != received.rend() && !(it->method == QLatin1String("account/read") && it->chatgptAccount))
            ++it;
        if (it == received.rend() || *it->chatgptAccount != account)
            fail("snapshot published without the same account read before its usage read");
    }
};

// The text after `"name":` in a compact line of ours, up to the next quote or comma.
QByteArrayView field(QByteArrayView line, QByteArrayView name)
{
    const qsizetype at = line.indexOf(name);
    if (at < 0)
        return {};
    QByteArrayView rest = line.sliced(at + name.size());
    if (rest.startsWith('"'))
        rest = rest.sliced(1);
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != '"' && rest[end] != ',' && rest[end] != '}')
        ++end;
    return rest.first(end);
}

bool ScriptedConnection::writeLine(const QByteArray& line)
{
    if (std::exchange(world_.failNextWrite, false))
        return false;
    // Lines are written compactly with sorted keys ({"id":..,"method":..,"params":..}),
    // so a plain search finds the fields without parsing the JSON again.
    const QByteArrayView id = field(line, "{\"id\":");
    if (id.isEmpty())
        return true; // a notification
    const std::int64_t value = id.toLongLong();
    if (value <= world_.lastId)
        fail("a request id did not rise");
    world_.lastId = value;
    const QByteArrayView method = field(line, "\"method\":");
    if (method == "account/rateLimitResetCredit/consume") {
        for (const auto& [askedId, askedMethod] : world_.asked)
            if (askedMethod != kConsume && pending().settle(askedId))
                fail("a reset asked while a reading was under way");
        const QByteArray key = field(line, "\"idempotencyKey\":").toByteArray();
        if (!world_.lastKey.isEmpty() && world_.lastKey != key)
            fail("a second key while the key file existed");
        world_.lastKey = key;
    }
    world_.asked[value] = QLatin1String(method.data(), method.size());
    return true;
}

void ScriptedConnection::shutDown()
{
    ++world_.stopped;
}

qint64 ScriptedConnection::nowMs() const
{
    return world_.monotonicMs;
}

const char* const kAnswers[] = {
        R"("result":{"account":{"type":"chatgpt","email":"a@example.com"}}})",
        R"("result":{"account":{"type":"chatgpt","email":"b@example.com"}}})",
        R"("result":{"account":null}})",
        R"("result":{"account":{"type":"apiKey"}}})",
        R"("result":{}})",
        R"("result":{"rateLimits":{"primary":{"usedPercent":37,"windowDurationMins":300,"resetsAt":1893456000},"secondary":{"usedPercent":12,"windowDurationMins":10080,"resetsAt":1894060800}}}})",
        R"("result":{"rateLimits":{"primary":{"usedPercent":"x"}}}})",
        R"("error":{"code":401,"message":""}})",
        R"("error":{"code":429,"message":"slow down"}})",
        R"("error":{"message":"Unauthorized"}})",
        R"("error":{"code":-32603}})",
        R"("result":{"outcome":"reset"}})",
        R"("result":{"outcome":"noCredit"}})",
        R"("error":{"code":-32600,"message":"unknown variant `account/rateLimitResetCredit/consume`"}})",
};
constexpr std::uint8_t kAnswerCount = std::size(kAnswers);

QByteArray answerLine(std::uint8_t choice, std::int64_t id)
{
    return "{\"id\":" + QByteArray::number(id) + "," + kAnswers[choice] + '\n';
}

// The canned answers parsed once, without their id.
const QJsonObject& answerObject(std::uint8_t choice)
{
    static const std::vector<QJsonObject> parsed = [] {
        std::vector<QJsonObject> objects;
        for (std::uint8_t i = 0; i < kAnswerCount; ++i)
            objects.push_back(QJsonDocument::fromJson(answerLine(i, 0)).object());
        return objects;
    }();
    return parsed[choice];
}

void feed(ScriptedConnection& connection, Input& in, const QByteArray& bytes)
{
    // Cut where the input says, so lines also arrive in pieces.
    const qsizetype cut = bytes.isEmpty() ? 0 : in.byte() % (bytes.size() + 1);
    connection.receive(QByteArrayView(bytes).first(cut));
    if (!connection.isClosed())
        connection.receive(QByteArrayView(bytes).sliced(cut));
}

constexpr int kMostSteps = 32;

void run(const std::uint8_t* data, std::size_t size, const QString& keyFile)
{
    Input in(data, size);
    World world;
    world.keyFile = keyFile;
    const QByteArray keyPath = QFile::encodeName(keyFile);
    bool resetAsked = false;
    {
        ReadingCycle::Outputs outputs {
            [&world](const ClientStatus& status) {
                if (status.kind == StatusKind::reconnecting && ++world.reconnectsSinceRefresh > 1)
                    fail("a second automatic reconnect in one cycle");
            },
            [&world](const PublishedReading&) { world.checkSnapshot(); },
        };
        ReadingCycle::Launcher launcher = [&world](const QString&, AppServerConnection::Events events,
                                                   double timeout) -> std::variant<AppServerConnection*, int> {
            if (std::exchange(world.failNextLaunch, false))
                return 2;
            if (world.launched != world.stopped)
                fail("a second connection while one is open");
            ++world.launched;
            world.asked.clear();
            world.received.clear();
            auto forward = std::move(events.message);
            events.message = [&world, forward](const QJsonObject& message) {
                world.record(message);
                forward(message);
            };
            auto handler = events.message;
            world.current = new ScriptedConnection(world, std::move(events), timeout);
            world.current->handler = std::move(handler);
            return world.current;
        };
        ReadingCycle cycle({QStringLiteral("/nonexistent/codex"), 20, 60}, outputs,
                           [&world] { return world.wallSeconds; }, launcher);

        // Enough for a few cycles, a reconnect and a reset; longer inputs add nothing but time.
        for (int step = 0; step < kMostSteps && !in.empty(); ++step) {
            ScriptedConnection* connection = world.current && !world.current->isClosed() ? world.current : nullptr;
            switch (in.byte() % 12) {
            case 0:
                cycle.startLocked();
                break;
            case 1:
                world.reconnectsSinceRefresh = 0;
                cycle.refreshLocked();
                break;
            case 2:
                cycle.disconnectLocked();
                break;
            case 3:
                // An answer to something asked: most as a message, some as bytes to be framed,
                // some with anything after a valid id.
                if (connection && !world.asked.empty()) {
                    auto it = world.asked.begin();
                    std::advance(it, in.byte() % world.asked.size());
                    const std::uint8_t choice = in.byte();
                    if (choice < kAnswerCount) {
                        QJsonObject message = answerObject(choice);
                        message.insert(QStringLiteral("id"), qint64(it->first));
                        connection->deliver(message);
                    } else if (choice < 2 * kAnswerCount) {
                        feed(*connection, in, answerLine(choice - kAnswerCount, it->first));
                    } else {
                        feed(*connection, in,
                             "{\"id\":" + QByteArray::number(it->first) + "," + in.bytes(in.byte()) + '\n');
                    }
                }
                break;
            case 4:
                if (connection)
                    feed(*connection, in, in.bytes(in.byte()));
                break;
            case 5:
                if (connection) {
                    static const char* const notes[] = {
                        "{\"method\":\"account/updated\"}\n",
                        "{\"method\":\"account/rateLimits/updated\",\"params\":{}}\n",
                        "{\"method\":\"account/read\",\"id\":1}\n",
                        "{\"method\":\"turn/started\"}\n",
                    };
                    feed(*connection, in, notes[in.byte() % std::size(notes)]);
                }
                break;
            case 6:
                world.monotonicMs += qint64(in.byte()) * 250;
                if (connection)
                    connection->expireOverdue();
                break;
            case 7:
                world.wallSeconds += double(std::int8_t(in.byte())) * 10;
                break;
            case 8:
                if (connection)
                    connection->reportEnd(ClientStatus::childExited(in.byte(), in.bytes(in.byte() % 32)));
                break;
            case 9:
                world.failNextWrite = true;
                break;
            case 10:
                world.failNextLaunch = true;
                break;
            case 11:
                resetAsked = true;
                cycle.useResetCreditLocked(keyFile, in.byte() % 2 ? std::optional(QStringLiteral("credit-1"))
                                                                  : std::nullopt);
                break;
            }
            if (world.current && world.current->isClosed())
                world.current = nullptr; // deleted at the end with the other retired connections
            if (!world.lastKey.isEmpty() && ::access(keyPath.constData(), F_OK) != 0)
                world.lastKey.clear(); // an outcome removed the key: the next reset is a new one
        }
    }
    // The cycle retires connections with deleteLater; with no event loop they go here.
    if (world.launched > 0)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (resetAsked)
        ::unlink(keyPath.constData()); // the next input starts without a key
    if (world.launched != world.stopped)
        fail("a launched connection was never stopped");
    if (ScriptedConnection::alive != 0)
        fail("a connection outlived its cycle");
}

} // namespace
} // namespace tallyglass

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_client_cycle";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static const QTemporaryDir folder;
    static const QString keyFile = folder.filePath(QStringLiteral("pending-reset"));
    tallyglass::run(data, size, keyFile);
    return 0;
}

FuzzReplayInputs fuzzReplayInputs()
{
    // A happy cycle: start, then answer initialize, the account, the usage and the account.
    const std::string happy("\x00\x03\x00\x00\x03\x01\x01\x03\x02\x05\x03\x03\x01", 13);
    FuzzReplayInputs inputs;
    // Then spend a reset, answered "reset", which starts another reading.
    const std::string reset = happy + std::string("\x0b\x01\x03\x04\x0b", 5);
    inputs.seeds = {happy, happy + std::string("\x01\x06\xff\x07\x80\x01", 6), reset};
    // Random inputs are mostly step bytes; a few pieces make raw lines that parse.
    inputs.pieces = {"\x03", "\x05", "\x06", "\x01", "\x0b", "{\"id\":2,\"result\":{}}\n", "\n"};
    inputs.headerBytes = 48;
    return inputs;
}
