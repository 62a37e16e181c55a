// What the client does with each message from the app-server, and the reading cycle:
// account, rate limits, and the account once more before anything is published.

#include "client/ClientCore.h"
#include "usage/JsonInteger.h"
#include "usage/UsagePayloadParser.h"

#include <QJsonDocument>
#include <QJsonValue>

namespace tallyglass {

namespace {

// Any change of the account object counts as a change of identity. QJsonObject
// keeps its keys sorted, so equal objects give equal text.
std::optional<QString> identityOf(const QJsonValue& account)
{
    if (!account.isObject())
        return std::nullopt;
    return QString::fromUtf8(QJsonDocument(account.toObject()).toJson(QJsonDocument::Compact));
}

} // namespace

std::int64_t ClientCore::takeRequestID()
{
    return nextRequestID++;
}

void ClientCore::handleLocked(const QJsonObject& message)
{
    const QJsonValue method = message.value(QLatin1String("method"));
    if (method.isString()) {
        const QString name = method.toString();
        if (name == QLatin1String("account/updated")) {
            pendingSnapshot.reset();
            usageRequestIDs.clear();
            usageTimeout_.cancel();
            publishStatus(QStringLiteral("계정 상태 변경 — 이전 사용량 표시 중지"));
            requestAccountLocked();
        } else if (name == QLatin1String("account/rateLimits/updated")) {
            if (!refreshing) {
                retried = false;
                requestAccountLocked();
            }
        }
        return; // other notifications and server requests are ignored, never answered
    }

    const std::optional<std::int64_t> id = jsonNumberToInt64(message.value(QLatin1String("id")));
    if (!id)
        return;
    if (initializeRequestID && *initializeRequestID == *id) {
        initializeRequestID.reset();
        initializeTimeout_.cancel();
        handleInitializeAnswerLocked(message);
    } else if (accountRequestID && *accountRequestID == *id) {
        accountRequestID.reset();
        accountTimeout_.cancel();
        handleAccountAnswerLocked(message);
    } else if (usageRequestIDs.erase(*id) > 0) {
        if (usageRequestIDs.empty())
            usageTimeout_.cancel();
        handleUsageAnswerLocked(message);
    }
}

void ClientCore::handleInitializeAnswerLocked(const QJsonObject& message)
{
    const QJsonValue error = message.value(QLatin1String("error"));
    if (error.isObject()) {
        const std::optional<std::int64_t> code = jsonNumberToInt64(error.toObject().value(QLatin1String("code")));
        const QString text = QStringLiteral("Codex 초기화 실패 (코드 %1)")
                                 .arg(code ? QString::number(*code) : QStringLiteral("알 수 없음"));
        disconnectLocked();
        publishStatus(text);
        return;
    }
    if (message.value(QLatin1String("result")).isObject()) {
        initialized = true;
        writeLocked(QJsonObject {{QStringLiteral("method"), QStringLiteral("initialized")}});
        if (wantsRefresh) {
            wantsRefresh = false;
            requestAccountLocked();
        }
        return;
    }
    disconnectLocked();
    publishStatus(QStringLiteral("Codex 초기화 응답 없음"));
}

void ClientCore::requestAccountLocked()
{
    if (!initialized || accountRequestID || !usageRequestIDs.empty())
        return;
    refreshing = true;
    if (!pendingSnapshot)
        publishStatus(QStringLiteral("계정 확인 중… 이전 사용량 표시 중지"));
    const std::int64_t id = takeRequestID();
    accountRequestID = id;
    const QUuid connection = connectionID;
    sendLocked(id, QStringLiteral("account/read"), QJsonObject {{QStringLiteral("refreshToken"), true}});
    if (connection == connectionID) // a failed send has already ended the connection
        accountTimeout_.arm(requestTimeout, [this, connection, id] { accountTimeoutLocked(connection, id); });
}

void ClientCore::handleAccountAnswerLocked(const QJsonObject& message)
{
    const QJsonValue error = message.value(QLatin1String("error"));
    if (error.isObject()) {
        handleRPCErrorLocked(error.toObject(), QStringLiteral("계정 확인"));
        return;
    }
    const QJsonValue resultValue = message.value(QLatin1String("result"));
    const QJsonObject result = resultValue.toObject();
    if (!resultValue.isObject() || result.isEmpty() || !result.contains(QLatin1String("account"))) {
        disconnectLocked();
        publishStatus(QStringLiteral("계정 확인 응답 없음"));
        return;
    }

    const QJsonValue account = result.value(QLatin1String("account"));
    const std::optional<QString> identity = identityOf(account);
    const bool changed = hasReadAccount && identity != accountIdentity;
    hasReadAccount = true;
    accountIdentity = identity;
    const bool first = firstAccountForConnection;
    firstAccountForConnection = false;
    if (changed && !first) {
        recoverLocked(QStringLiteral("Codex 계정 변경 감지"));
        return;
    }

    const QJsonValue type = account.toObject().value(QLatin1String("type"));
    if (!account.isObject() || !type.isString() || type.toString() != QLatin1String("chatgpt")) {
        pendingSnapshot.reset();
        refreshing = false;
        publishStatus(QStringLiteral("Codex에서 ChatGPT 로그인이 필요함 — 이전 사용량 표시 중지"));
        return;
    }

    if (!pendingSnapshot) {
        requestUsageLocked();
        return;
    }
    const UsageSnapshot snapshot = *pendingSnapshot;
    pendingSnapshot.reset();
    refreshing = false;
    publish(snapshot);
}

void ClientCore::requestUsageLocked()
{
    if (!initialized || !usageRequestIDs.empty())
        return;
    const std::int64_t id = takeRequestID();
    usageRequestIDs.insert(id);
    sendLocked(id, QStringLiteral("account/rateLimits/read"), QJsonObject {});
    if (usageRequestIDs.contains(id)) // a failed send has already ended the connection
        usageTimeout_.arm(requestTimeout, [this, id] { usageTimeoutLocked(id); });
}

void ClientCore::handleUsageAnswerLocked(const QJsonObject& message)
{
    const QJsonValue error = message.value(QLatin1String("error"));
    if (error.isObject()) {
        handleRPCErrorLocked(error.toObject(), QStringLiteral("사용량 조회"));
        return;
    }
    const QJsonValue result = message.value(QLatin1String("result"));
    if (result.isObject()) {
        if (std::optional<UsageSnapshot> snapshot = UsagePayloadParser::parse(result.toObject(), wallClock_())) {
            pendingSnapshot = std::move(snapshot);
            requestAccountLocked();
            return;
        }
    }
    refreshing = false;
    publishStatus(QStringLiteral("사용량 데이터 없음"));
}

} // namespace tallyglass
