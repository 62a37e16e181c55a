// Error answers, overdue requests, and the one automatic reconnect per cycle.

#include "client/ClientCore.h"
#include "usage/JsonInteger.h"

#include <array>

namespace tallyglass {

namespace {

const std::array<QLatin1String, 10> kAuthenticationMarkers {
    QLatin1String("auth"),       QLatin1String("unauthorized"), QLatin1String("forbidden"), QLatin1String("token"),
    QLatin1String("login"),      QLatin1String("log in"),       QLatin1String("sign in"),   QLatin1String("credential"),
    QLatin1String("401"),        QLatin1String("403"),
};

bool isAuthenticationProblem(const QString& lowerCasedMessage)
{
    for (const QLatin1String& marker : kAuthenticationMarkers)
        if (lowerCasedMessage.contains(marker))
            return true;
    return false;
}

} // namespace

void ClientCore::handleRPCErrorLocked(const QJsonObject& error, const QString& label)
{
    const std::optional<std::int64_t> code = jsonNumberToInt64(error.value(QLatin1String("code")));
    const QJsonValue messageValue = error.value(QLatin1String("message"));
    const QString message = messageValue.isString() ? messageValue.toString().toLower() : QString();

    const QString text = label + QStringLiteral(" 실패 (코드 ")
        + (code ? QString::number(*code) : QStringLiteral("알 수 없음")) + QLatin1Char(')');

    if (code && (*code == 401 || *code == 403 || *code == -32603)) {
        recoverLocked(text);
        return;
    }
    if (isAuthenticationProblem(message)) {
        recoverLocked(text);
        return;
    }
    refreshing = false;
    pendingSnapshot.reset();
    publishStatus(text);
}

void ClientCore::recoverLocked(const QString& reason)
{
    pendingSnapshot.reset();
    const double now = wallClock_();
    const bool allowed = !retried && (!lastRecovery || now - *lastRecovery >= recoveryCooldown);
    if (!allowed) {
        refreshing = false;
        publishStatus(reason + QStringLiteral(" — 자동 재시도 중단, 잠시 후 새로고침 (이전 사용량 표시 중지)"));
        return;
    }
    retried = true;
    lastRecovery = now;
    disconnectLocked();
    publishStatus(reason + QStringLiteral(" — Codex 재연결 중…"));
    startLocked();
}

void ClientCore::initializeTimeoutLocked(const QUuid& connection, std::int64_t id)
{
    if (connection != connectionID || !initializeRequestID || *initializeRequestID != id)
        return;
    disconnectLocked();
    publishStatus(QStringLiteral("Codex 초기화 시간 초과 — 새로고침으로 재연결"));
}

void ClientCore::accountTimeoutLocked(const QUuid& connection, std::int64_t id)
{
    if (connection != connectionID || !accountRequestID || *accountRequestID != id)
        return;
    disconnectLocked();
    publishStatus(QStringLiteral("계정 확인 시간 초과 — 새로고침으로 재연결"));
}

void ClientCore::usageTimeoutLocked(std::int64_t id)
{
    if (usageRequestIDs.erase(id) == 0)
        return;
    disconnectLocked();
    publishStatus(QStringLiteral("사용량 요청 시간 초과 — 새로고침으로 재연결"));
}

} // namespace tallyglass
