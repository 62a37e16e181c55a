#include "ReadingCycle.h"

#include "client/CodexLocator.h"
#include "usage/JsonInteger.h"
#include "usage/UsagePayloadParser.h"
#include "tallyglass/Version.h"

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

// The account as compared between answers: the object itself (compared key by key), or
// for anything but an object a null, which no object equals.
QJsonValue identityOf(const QJsonValue& account)
{
    return account.isObject() ? account : QJsonValue(QJsonValue::Null);
}

// The params of each request as compact JSON text; the fixed ones are written once.
const QByteArray& initializeParams()
{
    static const QByteArray text = QJsonDocument(QJsonObject {
        {QStringLiteral("clientInfo"), QJsonObject {{QStringLiteral("name"), QStringLiteral("tallyglass")},
                                                    {QStringLiteral("title"), QStringLiteral("Tallyglass")},
                                                    {QStringLiteral("version"), QStringLiteral(TALLYGLASS_VERSION)}}},
        {QStringLiteral("capabilities"), QJsonObject {{QStringLiteral("experimentalApi"), false}}},
    }).toJson(QJsonDocument::Compact);
    return text;
}

// A string as Qt's compact JSON writer gives it: the quote, the backslash and control
// characters escaped, everything else as UTF-8.
void appendJsonString(QByteArray& out, const QString& text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out.append('"');
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '"':
        case '\\':
            out.append('\\').append(c);
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        default:
            if (uchar(c) < 0x20)
                out.append("\\u00").append(hex[c >> 4]).append(hex[c & 15]);
            else
                out.append(c);
        }
    }
    out.append('"');
}

// Keys in Qt's order, as in the key file. Written by hand: a QJsonObject and its text
// took a dozen allocations for these two strings.
QByteArray resetParams(const ResetRequest& request)
{
    QByteArray params;
    params.reserve(96);
    if (request.creditId) {
        params.append("{\"creditId\":");
        appendJsonString(params, *request.creditId);
        params.append(",\"idempotencyKey\":");
    } else {
        params.append("{\"idempotencyKey\":");
    }
    appendJsonString(params, request.idempotencyKey);
    return params.append('}');
}

constexpr QByteArrayView kAccountParams = "{\"refreshToken\":true}";
constexpr QByteArrayView kUsageParams = "{}";

} // namespace

ReadingCycle::ReadingCycle(Settings settings, Outputs outputs, WallClock wallClock, Launcher launcher,
                           ResetKeyStore keys)
    : settings_(std::move(settings))
    , out_(std::move(outputs))
    , wallClock_(std::move(wallClock))
    , launcher_(std::move(launcher))
    , keys_(std::move(keys))
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

void ReadingCycle::enterLocked(Phase next)
{
    phase_ = std::move(next);
    if (in<NoChild>()) {
        if (AppServerConnection* ended = std::exchange(connection_, nullptr)) {
            ended->close();
            ended->deleteLater(); // this may run inside one of its own events
        }
    } else if (in<Handshaking>()) {
        out_.status(ClientStatus::loading());
        sendLocked(RequestKind::initialize, QLatin1String("initialize"), initializeParams());
    } else if (const auto* read = std::get_if<AccountRead>(&phase_)) {
        if (!read->waiting)
            out_.status(ClientStatus::checkingAccount());
        sendLocked(RequestKind::account, QLatin1String("account/read"), kAccountParams);
    } else if (in<UsageRead>()) {
        sendLocked(RequestKind::usage, QLatin1String("account/rateLimits/read"), kUsageParams);
    } else if (in<Ready>() && waitingReset_) {
        enterLocked(ResetConsume {*std::exchange(waitingReset_, std::nullopt)});
    } else if (const auto* consume = std::get_if<ResetConsume>(&phase_)) {
        out_.status(ClientStatus::resetUnderway());
        sendLocked(RequestKind::resetCredit, QLatin1String("account/rateLimitResetCredit/consume"),
                   resetParams(consume->reset.request));
    }
}

void ReadingCycle::refreshLocked()
{
    if (refreshing())
        return;
    recovery_.newCycle();
    if (in<NoChild>())
        launchLocked();
    else
        enterLocked(AccountRead {});
}

void ReadingCycle::startLocked()
{
    if (in<Ready>())
        enterLocked(AccountRead {});
    else if (in<NoChild>())
        launchLocked();
}

void ReadingCycle::useResetCreditLocked(const QString& keyFile, const std::optional<QString>& creditId)
{
    if (waitingReset_ || in<ResetConsume>())
        return; // one at a time; its statuses answer this call too
    const std::optional<ResetRequest> request = keys_.loadOrCreate(keyFile, creditId);
    if (!request) {
        out_.status(ClientStatus::resetFailed(std::nullopt));
        return;
    }
    waitingReset_ = PendingReset {keyFile, *request};
    if (in<Ready>())
        enterLocked(Ready {});
    else if (in<NoChild>())
        launchLocked();
}

void ReadingCycle::launchLocked()
{
    accountIdentity_.reset();
    const std::optional<QString> executable = settings_.executable ? settings_.executable : CodexLocator::find();
    if (!executable) {
        out_.status(ClientStatus::notFound());
        abandonResetLocked(false);
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
        abandonResetLocked(false);
        return;
    }
    connection_ = std::get<AppServerConnection*>(launched);
    enterLocked(Handshaking {});
}

void ReadingCycle::disconnectLocked()
{
    waitingReset_.reset(); // the key stays in its file for the next attempt
    enterLocked(NoChild {});
}

void ReadingCycle::failLocked(const ClientStatus& status)
{
    const bool resetOut = in<ResetConsume>();
    enterLocked(NoChild {});
    out_.status(status);
    abandonResetLocked(resetOut);
}

void ReadingCycle::abandonResetLocked(bool requestOut)
{
    // Whether the request went out or not, the key is kept, so a retry repeats it.
    if (std::exchange(waitingReset_, std::nullopt) || requestOut)
        out_.status(ClientStatus::resetNoAnswer());
}

void ReadingCycle::sendLocked(RequestKind kind, QLatin1String method, QByteArrayView params)
{
    const std::int64_t id = nextRequestID_++;
    if (!connection_->request(id, kind, method, params))
        failLocked(ClientStatus::sendFailed());
}

void ReadingCycle::handleLocked(const QJsonObject& message)
{
    const QJsonValue method = message.value(QLatin1String("method"));
    if (method.isString()) {
        handleNotificationLocked(method.toString());
        return; // server requests are ignored too, never answered
    }
    const std::optional<std::int64_t> id = jsonNumberToInt64(message.value(QLatin1String("id")));
    const std::optional<RequestKind> kind = id ? connection_->pending().settle(*id) : std::nullopt;
    if (!kind)
        return; // nothing asked under this id, or already answered
    switch (*kind) {
    case RequestKind::initialize:
        handleInitializeAnswerLocked(message);
        break;
    case RequestKind::account:
        handleAccountAnswerLocked(message);
        break;
    case RequestKind::usage:
        handleUsageAnswerLocked(message);
        break;
    case RequestKind::resetCredit:
        handleResetAnswerLocked(message);
        break;
    }
}

void ReadingCycle::handleNotificationLocked(const QString& method)
{
    if (method == QLatin1String("account/updated")) {
        // A usage read is dropped, and so is a snapshot waiting for its account; a pending
        // account read stays and its answer carries on as the first of a cycle.
        connection_->pending().forget(RequestKind::usage);
        if (auto* read = std::get_if<AccountRead>(&phase_))
            read->waiting.reset();
        out_.status(ClientStatus::accountChanged());
        if (in<Ready>() || in<UsageRead>())
            enterLocked(AccountRead {});
    } else if (method == QLatin1String("account/rateLimits/updated") && in<Ready>()) {
        recovery_.newCycle();
        enterLocked(AccountRead {});
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
    if (!connection_->notify(QLatin1String("initialized"))) {
        failLocked(ClientStatus::sendFailed());
        return;
    }
    enterLocked(AccountRead {});
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
    const QJsonValue identity = identityOf(account);
    if (std::exchange(accountIdentity_, identity).value_or(identity) != identity) {
        recoverLocked(ClientStatus::accountChangeReason());
        return;
    }

    const QJsonValue type = account.toObject().value(QLatin1String("type"));
    if (!account.isObject() || !type.isString() || type.toString() != QLatin1String("chatgpt")) {
        out_.status(ClientStatus::signedOut());
        enterLocked(Ready {});
        return;
    }

    auto* read = std::get_if<AccountRead>(&phase_);
    if (!read || !read->waiting) {
        enterLocked(UsageRead {});
        return;
    }
    out_.reading(*read->waiting);
    enterLocked(Ready {});
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
            PublishedReading reading {*snapshot, UsagePayloadParser::parseAllowance(result.toObject())};
            enterLocked(AccountRead {std::move(reading)});
            return;
        }
    }
    out_.status(ClientStatus::noUsageData());
    enterLocked(Ready {});
}

void ReadingCycle::handleResetAnswerLocked(const QJsonObject& message)
{
    const QJsonValue error = message.value(QLatin1String("error"));
    if (error.isObject()) {
        const std::optional<std::int64_t> code = jsonNumberToInt64(error.toObject().value(QLatin1String("code")));
        const QString text = error.toObject().value(QLatin1String("message")).toString();
        // An older Codex CLI does not know the method (0.58.0: -32600 "unknown variant").
        const bool unknownMethod
            = code == -32601 || (code == -32600 && text.contains(QLatin1String("unknown variant")));
        if (unknownMethod)
            endResetLocked(ClientStatus::resetUnsupported(), true, false);
        else // the backend may have acted before the error: keep the key
            endResetLocked(ClientStatus::resetFailed(code), false, false);
        return;
    }
    const QString outcome = message.value(QLatin1String("result")).toObject().value(QLatin1String("outcome")).toString();
    if (outcome == QLatin1String("reset"))
        endResetLocked(ClientStatus::resetDone(), true, true);
    else if (outcome == QLatin1String("alreadyRedeemed"))
        endResetLocked(ClientStatus::resetAlreadyRedeemed(), true, true);
    else if (outcome == QLatin1String("nothingToReset"))
        endResetLocked(ClientStatus::resetNothingToReset(), true, false);
    else if (outcome == QLatin1String("noCredit"))
        endResetLocked(ClientStatus::resetNoCredit(), true, false);
    else // no outcome we know: nothing says whether a reset was spent
        endResetLocked(ClientStatus::resetFailed(std::nullopt), false, false);
}

void ReadingCycle::endResetLocked(const ClientStatus& status, bool removeKey, bool readAgain)
{
    if (const auto* consume = std::get_if<ResetConsume>(&phase_); consume && removeKey)
        keys_.remove(consume->reset.keyFile);
    out_.status(status);
    if (readAgain)
        enterLocked(AccountRead {});
    else
        enterLocked(Ready {});
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
    out_.status(ClientStatus::requestFailed(text));
    enterLocked(Ready {});
}

void ReadingCycle::recoverLocked(const QString& reason)
{
    if (!recovery_.tryReconnect(wallClock_())) {
        out_.status(ClientStatus::retryStopped(reason));
        enterLocked(Ready {});
        return;
    }
    enterLocked(NoChild {});
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
    case RequestKind::resetCredit: // the connection stays; the key too, for the retry
        endResetLocked(ClientStatus::resetNoAnswer(), false, false);
        break;
    }
}

void ReadingCycle::handleEndLocked(const ClientStatus& status)
{
    // Tell the user first: stopping what the child left behind may take a moment.
    const bool resetOut = in<ResetConsume>();
    out_.status(status);
    enterLocked(NoChild {});
    abandonResetLocked(resetOut);
}

} // namespace tallyglass
