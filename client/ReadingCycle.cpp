#include "ReadingCycle.h"

#include "client/CodexLocator.h"
#include "usage/JsonInteger.h"
#include "usage/UsagePayloadParser.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <array>

namespace tallyglass {

namespace {

const std::array<QLatin1String, 10> kAuthenticationMarkers {
    QLatin1String("auth"),  QLatin1String("unauthorized"), QLatin1String("forbidden"), QLatin1String("token"),
    QLatin1String("login"), QLatin1String("log in"),       QLatin1String("sign in"),   QLatin1String("credential"),
    QLatin1String("401"),   QLatin1String("403"),
};

bool isAuthenticationProblem(const QString& lowerCasedMessage)
{
    for (const QLatin1String& marker : kAuthenticationMarkers)
        if (lowerCasedMessage.contains(marker))
            return true;
    return false;
}

// QJsonObject keeps its keys sorted, so equal objects give equal text.
std::optional<QString> identityOf(const QJsonValue& account)
{
    if (!account.isObject())
        return std::nullopt;
    return QString::fromUtf8(QJsonDocument(account.toObject()).toJson(QJsonDocument::Compact));
}

QJsonObject initializeParams()
{
    return QJsonObject {
        {QStringLiteral("clientInfo"), QJsonObject {{QStringLiteral("name"), QStringLiteral("tallyglass")},
                                                    {QStringLiteral("title"), QStringLiteral("Tallyglass")},
                                                    {QStringLiteral("version"), QStringLiteral("1.0.2")}}},
        {QStringLiteral("capabilities"), QJsonObject {{QStringLiteral("experimentalApi"), false}}},
    };
}

} // namespace

ReadingCycle::ReadingCycle(Settings settings, Outputs outputs, WallClock wallClock, Launcher launcher)
    : settings_(std::move(settings))
    , out_(std::move(outputs))
    , wallClock_(std::move(wallClock))
    , launcher_(std::move(launcher))
    , recovery_(settings_.recoveryCooldown)
{
}

ReadingCycle::~ReadingCycle()
{
    if (connection_) {
        connection_->close();
        delete connection_; // not inside one of its events: the cycle goes with the thread
    }
}

bool ReadingCycle::refreshing() const
{
    return phase_ != Phase::noChild && phase_ != Phase::ready;
}

void ReadingCycle::refreshLocked()
{
    if (refreshing())
        return;
    recovery_.newCycle();
    if (phase_ == Phase::noChild)
        launchLocked();
    else
        requestAccountLocked();
}

void ReadingCycle::startLocked()
{
    if (phase_ == Phase::ready)
        requestAccountLocked();
    else if (phase_ == Phase::noChild)
        launchLocked();
}

void ReadingCycle::launchLocked()
{
    firstAccountForConnection_ = true;
    const std::optional<QString> executable = settings_.executable ? settings_.executable : CodexLocator::find();
    if (!executable) {
        out_.status(ClientStatus::notFound());
        return;
    }
    AppServerConnection::Events events {
        [this](const QJsonObject& message) { handleLocked(message); },
        [this](std::int64_t, RequestKind kind) { handleOverdueLocked(kind); },
        [this](const ClientStatus& status) { handleEndLocked(status); },
    };
    auto launched = launcher_(*executable, std::move(events), settings_.requestTimeout);
    if (const int* error = std::get_if<int>(&launched)) {
        out_.status(ClientStatus::launchFailed(*error));
        return;
    }
    connection_ = std::get<AppServerConnection*>(launched);
    phase_ = Phase::handshaking;
    out_.status(ClientStatus::loading());
    sendLocked(RequestKind::initialize, QStringLiteral("initialize"), initializeParams());
}

void ReadingCycle::disconnectLocked()
{
    if (connection_) {
        connection_->close();
        connection_->deleteLater();
        connection_ = nullptr;
    }
    phase_ = Phase::noChild;
    pendingSnapshot_.reset();
}

void ReadingCycle::failLocked(const ClientStatus& status)
{
    disconnectLocked();
    out_.status(status);
}

bool ReadingCycle::sendLocked(RequestKind kind, const QString& method, const QJsonObject& params)
{
    const std::int64_t id = nextRequestID_++;
    if (connection_->request(id, kind, method, params))
        return true;
    failLocked(ClientStatus::sendFailed());
    return false;
}

void ReadingCycle::handleLocked(const QJsonObject& message)
{
    const QJsonValue method = message.value(QLatin1String("method"));
    if (method.isString()) {
        const QString name = method.toString();
        if (name == QLatin1String("account/updated")) {
            // A pending account read stays and its answer carries on; a usage read is dropped.
            pendingSnapshot_.reset();
            connection_->pending().forget(RequestKind::usage);
            if (phase_ == Phase::accountConfirm)
                phase_ = Phase::accountCheck;
            else if (phase_ == Phase::usageRead)
                phase_ = Phase::ready;
            out_.status(ClientStatus::accountChanged());
            requestAccountLocked();
        } else if (name == QLatin1String("account/rateLimits/updated")) {
            if (!refreshing()) {
                recovery_.newCycle();
                requestAccountLocked();
            }
        }
        return; // other notifications and server requests are ignored, never answered
    }

    const std::optional<std::int64_t> id = jsonNumberToInt64(message.value(QLatin1String("id")));
    if (!id)
        return;
    switch (connection_->pending().settle(*id).value_or(RequestKind(-1))) {
    case RequestKind::initialize:
        handleInitializeAnswerLocked(message);
        break;
    case RequestKind::account:
        handleAccountAnswerLocked(message);
        break;
    case RequestKind::usage:
        handleUsageAnswerLocked(message);
        break;
    default:
        break; // nothing asked under this id, or already answered
    }
}

void ReadingCycle::handleInitializeAnswerLocked(const QJsonObject& message)
{
    const QJsonValue error = message.value(QLatin1String("error"));
    if (error.isObject()) {
        failLocked(ClientStatus::initializeFailed(jsonNumberToInt64(error.toObject().value(QLatin1String("code")))));
        return;
    }
    if (!message.value(QLatin1String("result")).isObject()) {
        failLocked(ClientStatus::noInitializeAnswer());
        return;
    }
    phase_ = Phase::ready;
    if (!connection_->notify(QStringLiteral("initialized"))) {
        failLocked(ClientStatus::sendFailed());
        return;
    }
    requestAccountLocked();
}

void ReadingCycle::requestAccountLocked()
{
    if (phase_ != Phase::ready)
        return; // not initialized, or a read is already pending
    if (pendingSnapshot_) {
        phase_ = Phase::accountConfirm;
    } else {
        phase_ = Phase::accountCheck;
        out_.status(ClientStatus::checkingAccount());
    }
    sendLocked(RequestKind::account, QStringLiteral("account/read"),
               QJsonObject {{QStringLiteral("refreshToken"), true}});
}

void ReadingCycle::handleAccountAnswerLocked(const QJsonObject& message)
{
    const QJsonValue error = message.value(QLatin1String("error"));
    if (error.isObject()) {
        handleRPCErrorLocked(error.toObject(), ClientStatus::accountLabel());
        return;
    }
    const QJsonValue resultValue = message.value(QLatin1String("result"));
    const QJsonObject result = resultValue.toObject();
    if (!resultValue.isObject() || result.isEmpty() || !result.contains(QLatin1String("account"))) {
        failLocked(ClientStatus::noAccountAnswer());
        return;
    }

    const QJsonValue account = result.value(QLatin1String("account"));
    const std::optional<QString> identity = identityOf(account);
    const bool changed = hasReadAccount_ && identity != accountIdentity_;
    hasReadAccount_ = true;
    accountIdentity_ = identity;
    const bool first = std::exchange(firstAccountForConnection_, false);
    if (changed && !first) {
        recoverLocked(ClientStatus::accountChangeReason());
        return;
    }

    const QJsonValue type = account.toObject().value(QLatin1String("type"));
    if (!account.isObject() || !type.isString() || type.toString() != QLatin1String("chatgpt")) {
        pendingSnapshot_.reset();
        phase_ = Phase::ready;
        out_.status(ClientStatus::signedOut());
        return;
    }

    if (!pendingSnapshot_) {
        requestUsageLocked();
        return;
    }
    const UsageSnapshot snapshot = *std::exchange(pendingSnapshot_, std::nullopt);
    phase_ = Phase::ready;
    out_.snapshot(snapshot);
}

void ReadingCycle::requestUsageLocked()
{
    phase_ = Phase::usageRead;
    sendLocked(RequestKind::usage, QStringLiteral("account/rateLimits/read"), QJsonObject {});
}

void ReadingCycle::handleUsageAnswerLocked(const QJsonObject& message)
{
    const QJsonValue error = message.value(QLatin1String("error"));
    if (error.isObject()) {
        handleRPCErrorLocked(error.toObject(), ClientStatus::usageLabel());
        return;
    }
    const QJsonValue result = message.value(QLatin1String("result"));
    if (result.isObject()) {
        if (std::optional<UsageSnapshot> snapshot = UsagePayloadParser::parse(result.toObject(), wallClock_())) {
            pendingSnapshot_ = std::move(snapshot);
            phase_ = Phase::ready;
            requestAccountLocked();
            return;
        }
    }
    phase_ = Phase::ready;
    out_.status(ClientStatus::noUsageData());
}

void ReadingCycle::handleRPCErrorLocked(const QJsonObject& error, const QString& label)
{
    const std::optional<std::int64_t> code = jsonNumberToInt64(error.value(QLatin1String("code")));
    const QJsonValue messageValue = error.value(QLatin1String("message"));
    const QString message = messageValue.isString() ? messageValue.toString().toLower() : QString();
    const QString text = ClientStatus::requestFailedText(label, code);

    const bool recoverable = code && (*code == 401 || *code == 403 || *code == -32603);
    if (recoverable || isAuthenticationProblem(message)) {
        recoverLocked(text);
        return;
    }
    pendingSnapshot_.reset();
    phase_ = Phase::ready;
    out_.status(ClientStatus::requestFailed(text));
}

void ReadingCycle::recoverLocked(const QString& reason)
{
    pendingSnapshot_.reset();
    if (!recovery_.tryReconnect(wallClock_())) {
        phase_ = Phase::ready;
        out_.status(ClientStatus::retryStopped(reason));
        return;
    }
    disconnectLocked();
    out_.status(ClientStatus::reconnecting(reason));
    launchLocked();
}

void ReadingCycle::handleOverdueLocked(RequestKind kind)
{
    switch (kind) {
    case RequestKind::initialize:
        failLocked(ClientStatus::initializeTimedOut());
        break;
    case RequestKind::account:
        failLocked(ClientStatus::accountTimedOut());
        break;
    case RequestKind::usage:
        failLocked(ClientStatus::usageTimedOut());
        break;
    }
}

void ReadingCycle::handleEndLocked(const ClientStatus& status)
{
    // Tell the user first: stopping what the child left behind may take a moment.
    AppServerConnection* ended = std::exchange(connection_, nullptr);
    phase_ = Phase::noChild;
    pendingSnapshot_.reset();
    out_.status(status);
    ended->close();
    ended->deleteLater();
}

} // namespace tallyglass
