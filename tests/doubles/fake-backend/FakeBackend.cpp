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

namespace tallyglass {

struct FakeBackendState {
    mutable QMutex mutex;
    FakeBackend::Config config;
    QStringList paths;
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

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
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
    FakeBackend::Config config;
    {
        QMutexLocker lock(&state->mutex);
        state->paths.append(target);
        config = state->config;
    }
    int status = 200;
    const QByteArray body = FakeBackend::bodyFor(config, target, QDateTime::currentSecsSinceEpoch(), &status);
    socket->write(response(status, body));
    socket->disconnectFromHost();
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
        const QJsonObject rateLimit{
            {"allowed", true},
            {"limit_reached", false},
            {"primary_window", window(config.fiveHourUsedPercent, 18000, config.fiveHourResetAt, now)},
            {"secondary_window", week},
        };
        const QJsonObject payload{
            {"plan_type", "plus"},
            {"rate_limit", rateLimit},
            {"credits", QJsonObject{{"has_credits", false}, {"unlimited", false}, {"balance", "0"}}},
        };
        return QJsonDocument(payload).toJson(QJsonDocument::Compact);
    }
    return "{}";
}

} // namespace tallyglass
