#include "tests/doubles/fake-backend/FakeBackend.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <limits>

namespace tallyglass {

struct FakeBackendState {
    mutable QMutex mutex;
    FakeBackend::Config config;
    QStringList paths;
    QList<QByteArray> postedBodies;
    QStringList redeemed; // redeem_request_ids that reset
    QObject* context = nullptr;   // lives on the backend's thread; runs the calls below there
    QTcpServer* server = nullptr; // lives on the backend's thread
};

namespace {

constexpr qsizetype maxRequestBytes = 64 * 1024;

QJsonObject window(int usedPercent, qint64 seconds, qint64 resetAt, qint64 now)
{
    const qint64 reset = resetAt != 0 ? resetAt : now + seconds;
    return QJsonObject{
        {"used_percent", usedPercent},
        {"limit_window_seconds", seconds},
        {"reset_after_seconds", qMax<qint64>(0, reset - now)},
        {"reset_at", reset},
    };
}

QJsonObject rateLimitOf(int fiveHourUsedPercent, qint64 fiveHourResetAt, const QJsonValue& week, qint64 now)
{
    return QJsonObject{
        {"allowed", true},
        {"limit_reached", false},
        {"primary_window", window(fiveHourUsedPercent, 18000, fiveHourResetAt, now)},
        {"secondary_window", week},
    };
}

QJsonValue isoTime(std::optional<qint64> seconds)
{
    if (!seconds)
        return QJsonValue::Null;
    return QDateTime::fromSecsSinceEpoch(*seconds, Qt::UTC).toString(Qt::ISODate);
}

qint64 availableCount(const FakeBackend::Config& config)
{
    return std::count_if(config.resetCredits.begin(), config.resetCredits.end(),
                         [](const FakeBackend::ResetCredit& c) { return c.status == QLatin1String("available"); });
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray response(int status, const QByteArray& body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n"
         + "Content-Type: application/json\r\n"
         + "Content-Length: " + QByteArray::number(body.size()) + "\r\n"
         + "Connection: close\r\n\r\n" + body;
}

// Reads one request from the socket's buffered bytes; answers once the head (and any
// body it announces) is complete, then closes.
void serve(QTcpSocket* socket, const std::shared_ptr<FakeBackendState>& state)
{
    QByteArray data = socket->property("request").toByteArray() + socket->readAll();
    if (data.size() > maxRequestBytes) {
        socket->write(response(400, "{}"));
        socket->disconnectFromHost();
        return;
    }
    const qsizetype headEnd = data.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        socket->setProperty("request", data);
        return;
    }
    const QList<QByteArray> headLines = data.left(headEnd).split('\n');
    qsizetype contentLength = 0;
    for (qsizetype i = 1; i < headLines.size(); ++i) {
        const QByteArray line = headLines[i].trimmed();
        if (line.toLower().startsWith("content-length:"))
            contentLength = line.mid(15).trimmed().toLongLong();
    }
    if (data.size() - (headEnd + 4) < contentLength) {
        socket->setProperty("request", data);
        return;
    }
    socket->setProperty("request", QByteArray());

    const QList<QByteArray> requestLine = headLines.value(0).trimmed().split(' ');
    const QString target = QString::fromUtf8(requestLine.value(1));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    int status = 200;
    QByteArray body;
    int delayMs = 0;
    {
        QMutexLocker lock(&state->mutex);
        state->paths.append(target);
        if (requestLine.value(0) == "POST") {
            const QByteArray posted = data.mid(headEnd + 4, contentLength);
            state->postedBodies.append(posted);
            if (target.section(QLatin1Char('?'), 0, 0) == QLatin1String(FakeBackend::consumePath)) {
                body = FakeBackend::consume(state->config, state->redeemed, posted, now, &status);
                delayMs = state->config.consumeDelayMs;
            } else {
                status = 404;
                body = "{}";
            }
        } else {
            body = FakeBackend::bodyFor(state->config, target, now, &status);
        }
    }
    const QByteArray answer = response(status, body);
    if (delayMs <= 0) {
        socket->write(answer);
        socket->disconnectFromHost();
        return;
    }
    // A slow backend: the effect has happened, the answer comes late (or never, if
    // the client gave up and closed first).
    QTimer::singleShot(delayMs, socket, [socket, answer] {
        socket->write(answer);
        socket->disconnectFromHost();
    });
}

} // namespace

FakeBackend::FakeBackend()
    : FakeBackend(Config())
{
}

FakeBackend::FakeBackend(Config config)
    : state_(std::make_shared<FakeBackendState>())
    , thread_(std::make_unique<QThread>())
{
    state_->config = std::move(config);
    thread_->setObjectName(QStringLiteral("fake-backend"));
    state_->context = new QObject;
    state_->context->moveToThread(thread_.get());
    thread_->start();
}

FakeBackend::~FakeBackend()
{
    auto state = state_;
    QMetaObject::invokeMethod(
        state->context, [state] { delete state->server; state->server = nullptr; }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
    delete state->context;
    state->context = nullptr;
}

bool FakeBackend::start()
{
    auto state = state_;
    quint16 port = 0;
    QMetaObject::invokeMethod(
        state->context,
        [state, &port] {
            if (state->server)
                return;
            auto* server = new QTcpServer;
            state->server = server;
            QObject::connect(server, &QTcpServer::newConnection, server, [server, state] {
                while (QTcpSocket* socket = server->nextPendingConnection()) {
                    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, state] { serve(socket, state); });
                    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                    if (socket->bytesAvailable() > 0)
                        serve(socket, state);
                }
            });
            if (server->listen(QHostAddress::LocalHost, 0))
                port = server->serverPort();
        },
        Qt::BlockingQueuedConnection);
    port_ = port;
    return port_ != 0;
}

quint16 FakeBackend::port() const
{
    return port_;
}

QString FakeBackend::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/backend-api/").arg(port_);
}

FakeBackend::Config FakeBackend::config() const
{
    QMutexLocker lock(&state_->mutex);
    return state_->config;
}

void FakeBackend::setConfig(const Config& config)
{
    QMutexLocker lock(&state_->mutex);
    state_->config = config;
}

QStringList FakeBackend::requestedPaths() const
{
    QMutexLocker lock(&state_->mutex);
    return state_->paths;
}

void FakeBackend::clearRequestedPaths()
{
    QMutexLocker lock(&state_->mutex);
    state_->paths.clear();
}

QList<QByteArray> FakeBackend::postedBodies() const
{
    QMutexLocker lock(&state_->mutex);
    return state_->postedBodies;
}

QByteArray FakeBackend::bodyFor(const Config& config, const QString& target, qint64 now, int* status)
{
    *status = 200;
    const QString path = target.section(QLatin1Char('?'), 0, 0);
    if (path == QLatin1String(accountsCheckPath)) {
        const QJsonObject account{
            {"id", config.accountId},
            {"workspace_backend_origin", "https://chatgpt.com"},
            {"account_routing_override", "NO_CONSTRAINT"},
        };
        return QJsonDocument(QJsonObject{{"accounts", QJsonArray{account}}}).toJson(QJsonDocument::Compact);
    }
    if (path == QLatin1String(usagePath)) {
        if (config.usage == UsageAnswer::ServerError) {
            *status = 500;
            return R"({"detail":"usage unavailable"})";
        }
        const QJsonValue week = config.usage == UsageAnswer::NullWeek
            ? QJsonValue(QJsonValue::Null)
            : QJsonValue(window(config.weekUsedPercent, 604800, config.weekResetAt, now));
        QJsonObject payload{
            {"plan_type", "plus"},
            {"rate_limit", rateLimitOf(config.fiveHourUsedPercent, config.fiveHourResetAt, week, now)},
            {"credits", QJsonObject{{"has_credits", config.hasCredits},
                                    {"unlimited", config.unlimitedCredits},
                                    {"balance", config.creditBalance}}},
        };
        if (!config.extraLimits.isEmpty()) {
            QJsonArray extra;
            for (const ExtraLimit& limit : config.extraLimits)
                extra.append(QJsonObject{
                    {"limit_name", limit.limitName.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(limit.limitName)},
                    {"metered_feature", limit.meteredFeature},
                    {"rate_limit", rateLimitOf(limit.fiveHourUsedPercent, 0,
                                               window(limit.weekUsedPercent, 604800, 0, now), now)},
                });
            payload.insert("additional_rate_limits", extra);
        }
        if (config.offerResetCredits)
            payload.insert("rate_limit_reset_credits", QJsonObject{{"available_count", availableCount(config)}});
        for (auto it = config.usageExtra.begin(); it != config.usageExtra.end(); ++it)
            payload.insert(it.key(), it.value());
        return compact(payload);
    }
    if (path == QLatin1String(resetCreditsPath)) {
        // The detail rows are the credits still available, as the CLI describes them.
        QJsonArray credits;
        for (const ResetCredit& credit : config.resetCredits) {
            if (credit.status != QLatin1String("available"))
                continue;
            credits.append(QJsonObject{
                {"id", credit.id},
                {"status", credit.status},
                {"reset_type", "codex_rate_limits"},
                {"granted_at", isoTime(credit.grantedAt)},
                {"expires_at", isoTime(credit.expiresAt)},
                {"title", credit.title},
                {"description", credit.description},
            });
        }
        return compact(QJsonObject{{"available_count", availableCount(config)}, {"credits", credits}});
    }
    return "{}";
}

FakeBackend::Config FakeBackend::wholeAllowance(Config config, qint64 now)
{
    config.hasCredits = true;
    config.creditBalance = QStringLiteral("125.5");
    config.extraLimits = {{QStringLiteral("GPT-5.3-Codex-Spark"), QStringLiteral("codex_bengalfox"), 40, 5}};
    config.usageExtra = QJsonObject{
        {"rate_limit_reached_type", QJsonObject{{"type", "workspace_member_usage_limit_reached"}}},
        {"spend_control",
         QJsonObject{{"reached", false},
                     {"individual_limit", QJsonObject{{"limit", "50"}, {"used", "12.5"}, {"remaining", "37.5"},
                                                      {"used_percent", 25}, {"remaining_percent", 75},
                                                      {"reset_after_seconds", 3 * 86400},
                                                      {"reset_at", now + 3 * 86400}}}}},
    };
    config.offerResetCredits = true;
    config.resetCredits = {
        {QStringLiteral("rlrc-later"), QStringLiteral("available"), now - 86400, now + 10 * 86400,
         QStringLiteral("Rate limit reset"), QStringLiteral("Resets your Codex usage limits")},
        {QStringLiteral("rlrc-soon"), QStringLiteral("available"), now - 3600, now + 20 * 3600,
         QStringLiteral("Rate limit reset"), QStringLiteral("Resets your Codex usage limits")},
    };
    return config;
}

QByteArray FakeBackend::consume(Config& config, QStringList& redeemed, const QByteArray& body, qint64 now, int* status)
{
    *status = 200;
    const QJsonObject request = QJsonDocument::fromJson(body).object();
    const QString key = request.value("redeem_request_id").toString();
    if (key.isEmpty()) {
        *status = 400;
        return R"({"detail":"redeem_request_id is required"})";
    }
    const auto answer = [](const char* code) { return compact(QJsonObject{{"code", code}}); };
    if (redeemed.contains(key))
        return answer("already_redeemed");
    switch (config.consume) {
    case ConsumeAnswer::NothingToReset:
        return answer("nothing_to_reset");
    case ConsumeAnswer::NoCredit:
        return answer("no_credit");
    case ConsumeAnswer::AlreadyRedeemed:
        return answer("already_redeemed");
    case ConsumeAnswer::ServerError:
        *status = 500;
        return R"({"detail":"consume failed"})";
    case ConsumeAnswer::Reset:
        break;
    }

    // The named available credit, else the one that expires first (never-expiring last).
    const QString wanted = request.value("credit_id").toString();
    ResetCredit* chosen = nullptr;
    for (ResetCredit& credit : config.resetCredits) {
        if (credit.status != QLatin1String("available") || (!wanted.isEmpty() && credit.id != wanted))
            continue;
        const auto expiry = [](const ResetCredit* c) { return c->expiresAt.value_or(std::numeric_limits<qint64>::max()); };
        if (!chosen || expiry(&credit) < expiry(chosen))
            chosen = &credit;
    }
    if (!chosen)
        return answer("no_credit");
    chosen->status = QStringLiteral("redeemed");
    redeemed.append(key);
    config.fiveHourUsedPercent = 0;
    config.weekUsedPercent = 0;
    config.fiveHourResetAt = now + 18000;
    config.weekResetAt = now + 604800;
    return compact(QJsonObject{{"code", "reset"}, {"windows_reset", 2}});
}

} // namespace tallyglass
