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
// time; a reset is never asked while a reading is under way, and only with the key kept
// for it (in memory here, in place of its file); every launched connection is stopped
// by the end.

#include "client/AppServerConnection.h"
#include "fuzz/FuzzReplay.h"
#include "client/ReadingCycle.h"
#include "usage/JsonInteger.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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

// The requests the cycle may ask.
enum class Asked { initialize, account, usage, reset, other };

Asked askedFor(QByteArrayView method)
{
    if (method == "initialize")
        return Asked::initialize;
    if (method == "account/read")
        return Asked::account;
    if (method == "account/rateLimits/read")
        return Asked::usage;
    if (method == "account/rateLimitResetCredit/consume")
        return Asked::reset;
    return Asked::other;
}

// Requests by id, in the order asked (ids rise).
using Requests = std::vector<std::pair<std::int64_t, Asked>>;

struct Received {
    Asked method; // of the request this answers
    std::optional<QJsonObject> chatgptAccount;
    bool usage = false;
};

struct World;

class ScriptedConnection final : public AppServerConnection {
public:
    // The connection's events let the checks see each one before the cycle's own do.
    ScriptedConnection(World& world, Events cycleEvents, double timeout)
        : AppServerConnection(checkedEvents(this), timeout)
        , world_(world)
        , cycleEvents_(std::move(cycleEvents))
    {
        ++alive;
    }
    ~ScriptedConnection() override { --alive; }
    static inline int alive = 0;
    // Hands over a message as if it had come as a line, without the framing's cost.
    void deliver(const QJsonObject& message);
    using AppServerConnection::expireOverdue;
    using AppServerConnection::receive;
    using AppServerConnection::reportEnd;

protected:
    bool writeLine(const QByteArray& line) override;
    void shutDown() override;
    qint64 nowMs() const override;

private:
    static Events checkedEvents(ScriptedConnection* self);

    World& world_;
    const Events cycleEvents_;
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
    Requests asked; // on the current connection
    // What the connection still awaits, kept as it does: an answer, the time-out or an
    // account/updated (for a usage read) settles a request, so later answers to it are
    // ignored by the cycle and must be by the checks too.
    Requests awaited;
    std::vector<Received> received;        // answers on the current connection, in order
    // The reset key store: one key, kept from its first use until an outcome removes it.
    std::optional<ResetRequest> storedKey;
    bool failNextKey = false;
    int keysMade = 0;

    void record(const QJsonObject& message)
    {
        const QJsonValue methodValue = message.value(QLatin1String("method"));
        if (methodValue.isString()) {
            const QString method = methodValue.toString();
            if (method == QLatin1String("account/rateLimits/updated"))
                reconnectsSinceRefresh = 0; // may start a new cycle
            if (method == QLatin1String("account/updated"))
                std::erase_if(awaited, [](const auto& entry) { return entry.second == Asked::usage; });
            return;
        }
        const std::optional<std::int64_t> id = jsonNumberToInt64(message.value(QLatin1String("id")));
        const auto it = id ? std::find_if(awaited.begin(), awaited.end(), [&](const auto& entry) { return entry.first == *id; })
                           : awaited.end();
        if (it == awaited.end())
            return;
        Received r {it->second, std::nullopt, false};
        awaited.erase(it);
        const QJsonObject result = message.value(QLatin1String("result")).toObject();
        const QJsonValue account = result.value(QLatin1String("account"));
        if (account.isObject() && account.toObject().value(QLatin1String("type")).toString() == QLatin1String("chatgpt"))
            r.chatgptAccount = account.toObject();
        r.usage = r.method == Asked::usage && !result.isEmpty();
        received.push_back(r);
    }

    // The answer being handled shows account A, after a usage answer that followed an
    // answer showing the same account A.
    void checkSnapshot() const
    {
        if (received.empty() || received.back().method != Asked::account
            || !received.back().chatgptAccount)
            fail("snapshot published outside an account answer showing a ChatGPT account");
        const QJsonObject& account = *received.back().chatgptAccount;
        auto it = received.rbegin() + 1;
        while (it != received.rend() && !it->usage)
            ++it;
        if (it == received.rend())
            fail("snapshot published without a usage answer");
        while (it != received.rend() && !(it->method == Asked::account && it->chatgptAccount))
            ++it;
        if (it == received.rend() || *it->chatgptAccount != account)
            fail("snapshot published without the same account read before its usage read");
    }
};

// The text after `"name":` in a compact line of ours, up to the next quote or comma.
QByteArrayView field(const QByteArray& line, const char* name)
{
    const char* at = std::strstr(line.constData(), name);
    if (!at)
        return {};
    at += std::strlen(name);
    if (*at == '"')
        ++at;
    // The lines are NUL-terminated; the C library's search keeps this loop out of the
    // fuzzer's instrumentation, which would otherwise trace every byte compared.
    return QByteArrayView(at, qsizetype(std::strcspn(at, "\",}")));
}

AppServerConnection::Events ScriptedConnection::checkedEvents(ScriptedConnection* self)
{
    return {
        [self](const QJsonObject& message) {
            self->world_.record(message);
            self->cycleEvents_.message(message);
        },
        [self](std::int64_t id, RequestKind kind) {
            std::erase_if(self->world_.awaited, [id](const auto& entry) { return entry.first == id; });
            self->cycleEvents_.overdue(id, kind);
        },
        [self](const ClientStatus& status) { self->cycleEvents_.ended(status); },
    };
}

void ScriptedConnection::deliver(const QJsonObject& message)
{
    if (isClosed())
        return;
    world_.record(message);
    cycleEvents_.message(message);
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
    const Asked asked = askedFor(field(line, "\"method\":"));
    if (asked == Asked::reset) {
        for (const auto& [awaitedId, awaitedMethod] : world_.awaited)
            if (awaitedMethod != Asked::reset)
                fail("a reset asked while a reading was under way");
        if (!world_.storedKey || field(line, "\"idempotencyKey\":") != world_.storedKey->idempotencyKey.toLatin1())
            fail("a reset asked without the key kept for it");
    }
    world_.asked.emplace_back(value, asked);
    world_.awaited.emplace_back(value, asked);
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
    QByteArray line;
    line.reserve(200);
    line.append("{\"id\":").append(QByteArray::number(id)).append(',').append(kAnswers[choice]).append('\n');
    return line;
}

// The canned answers with their id, each parsed once and kept for later inputs: an
// input asks at most a few dozen requests, so this stays small.
const QJsonObject& answerObject(std::uint8_t choice, std::int64_t id)
{
    static std::map<std::pair<std::uint8_t, std::int64_t>, QJsonObject> parsed;
    const auto [it, added] = parsed.try_emplace({choice, id});
    if (added)
        it->second = QJsonDocument::fromJson(answerLine(choice, id)).object();
    return it->second;
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

const QString kKeyFile = QStringLiteral("pending-reset");

void run(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    World world;
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
            world.awaited.clear();
            world.received.clear();
            world.current = new ScriptedConnection(world, std::move(events), timeout);
            return world.current;
        };
        ResetKeyStore keys {
            [&world](const QString& path, const std::optional<QString>& creditId) -> std::optional<ResetRequest> {
                if (path != kKeyFile)
                    fail("a reset key kept elsewhere");
                if (world.failNextKey)
                    return std::nullopt;
                if (!world.storedKey)
                    world.storedKey = ResetRequest {QString::number(++world.keysMade), creditId};
                return world.storedKey;
            },
            [&world](const QString&) { world.storedKey.reset(); },
        };
        ReadingCycle cycle({QStringLiteral("/nonexistent/codex"), 20, 60}, outputs,
                           [&world] { return world.wallSeconds; }, launcher, keys);

        // Enough for a few cycles, a reconnect and a reset; longer inputs add nothing but time.
        for (int step = 0; step < kMostSteps && !in.empty(); ++step) {
            ScriptedConnection* connection = world.current && !world.current->isClosed() ? world.current : nullptr;
            const int kind = in.byte() % 12;
            switch (kind) {
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
                    const auto it = world.asked.begin() + in.byte() % world.asked.size();
                    const std::uint8_t choice = in.byte();
                    if (choice < kAnswerCount) {
                        connection->deliver(answerObject(choice, it->first));
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
            {
                // Low bit: with a credit id or without; the next two: the store fails.
                const std::uint8_t how = in.byte();
                world.failNextKey = (how & 6) == 6;
                cycle.useResetCreditLocked(kKeyFile, how & 1 ? std::optional(QStringLiteral("credit-1")) : std::nullopt);
                world.failNextKey = false;
                break;
            }
            }
            if (world.current && world.current->isClosed())
                world.current = nullptr; // deleted at the end with the other retired connections
        }
    }
    // The cycle retires connections with deleteLater; with no event loop they go here.
    // Qt drops delivered entries from its queue only on a pass over every event type,
    // so the second call keeps the queue from growing with every input (and every
    // later pass from getting slower).
    if (world.launched > 0) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::sendPostedEvents();
    }
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
    tallyglass::run(data, size);
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
