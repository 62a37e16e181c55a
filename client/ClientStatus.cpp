#include "client/ClientStatus.h"

namespace tallyglass {

namespace {

QString codeText(std::optional<std::int64_t> code)
{
    return code ? QString::number(*code) : QStringLiteral("알 수 없음");
}

} // namespace

bool ClientStatus::readingUnderway() const
{
    switch (kind) {
    case StatusKind::loading:
    case StatusKind::checkingAccount:
    case StatusKind::accountChanged:
    case StatusKind::reconnecting:
        return true;
    default:
        return false;
    }
}

ClientStatus ClientStatus::loading()
{
    return {StatusKind::loading, QStringLiteral("사용량 불러오는 중…")};
}

ClientStatus ClientStatus::checkingAccount()
{
    return {StatusKind::checkingAccount, QStringLiteral("계정 확인 중… 이전 사용량 표시 중지")};
}

ClientStatus ClientStatus::accountChanged()
{
    return {StatusKind::accountChanged, QStringLiteral("계정 상태 변경 — 이전 사용량 표시 중지")};
}

ClientStatus ClientStatus::signedOut()
{
    return {StatusKind::signedOut, QStringLiteral("Codex에서 ChatGPT 로그인이 필요함 — 이전 사용량 표시 중지")};
}

ClientStatus ClientStatus::noUsageData()
{
    return {StatusKind::noUsageData, QStringLiteral("사용량 데이터 없음")};
}

ClientStatus ClientStatus::noAccountAnswer()
{
    return {StatusKind::noAnswer, QStringLiteral("계정 확인 응답 없음")};
}

ClientStatus ClientStatus::noInitializeAnswer()
{
    return {StatusKind::noAnswer, QStringLiteral("Codex 초기화 응답 없음")};
}

ClientStatus ClientStatus::initializeFailed(std::optional<std::int64_t> code)
{
    return {StatusKind::initializeFailed, QStringLiteral("Codex 초기화 실패 (코드 %1)").arg(codeText(code))};
}

ClientStatus ClientStatus::initializeTimedOut()
{
    return {StatusKind::timedOut, QStringLiteral("Codex 초기화 시간 초과 — 새로고침으로 재연결")};
}

ClientStatus ClientStatus::accountTimedOut()
{
    return {StatusKind::timedOut, QStringLiteral("계정 확인 시간 초과 — 새로고침으로 재연결")};
}

ClientStatus ClientStatus::usageTimedOut()
{
    return {StatusKind::timedOut, QStringLiteral("사용량 요청 시간 초과 — 새로고침으로 재연결")};
}

ClientStatus ClientStatus::sendFailed()
{
    return {StatusKind::sendFailed, QStringLiteral("Codex에 요청을 보내지 못함 — 새로고침으로 재연결")};
}

ClientStatus ClientStatus::launchFailed(int errorNumber)
{
    return {StatusKind::launchFailed, QStringLiteral("Codex 실행 실패 (%1)").arg(errorNumber)};
}

ClientStatus ClientStatus::notFound()
{
    return {StatusKind::notFound, QStringLiteral("Codex CLI를 찾을 수 없음")};
}

ClientStatus ClientStatus::childExited(int terminationStatus, const QByteArray& errorTail)
{
    const QString errors = QString::fromUtf8(errorTail).toLower();
    QString detail = QStringLiteral("종료 코드 %1").arg(terminationStatus);
    if (errors.contains(QLatin1String("unexpected argument")))
        detail += QStringLiteral(", 실행 옵션 오류");
    else if (errors.contains(QLatin1String("config")))
        detail += QStringLiteral(", Codex 설정 확인 필요");
    else if (errors.contains(QLatin1String("permission denied")))
        detail += QStringLiteral(", 파일 접근 거부");
    return {StatusKind::childExited, QStringLiteral("Codex 연결 종료 (%1)").arg(detail)};
}

QString ClientStatus::requestFailedText(const QString& label, std::optional<std::int64_t> code)
{
    return label + QStringLiteral(" 실패 (코드 ") + codeText(code) + QLatin1Char(')');
}

QString ClientStatus::accountLabel()
{
    return QStringLiteral("계정 확인");
}

QString ClientStatus::usageLabel()
{
    return QStringLiteral("사용량 조회");
}

QString ClientStatus::accountChangeReason()
{
    return QStringLiteral("Codex 계정 변경 감지");
}

ClientStatus ClientStatus::requestFailed(const QString& reason)
{
    return {StatusKind::requestFailed, reason};
}

ClientStatus ClientStatus::reconnecting(const QString& reason)
{
    return {StatusKind::reconnecting, reason + QStringLiteral(" — Codex 재연결 중…")};
}

ClientStatus ClientStatus::retryStopped(const QString& reason)
{
    return {StatusKind::retryStopped,
            reason + QStringLiteral(" — 자동 재시도 중단, 잠시 후 새로고침 (이전 사용량 표시 중지)")};
}

ClientStatus ClientStatus::resetUnderway()
{
    return {StatusKind::resetUnderway, QStringLiteral("한도 리셋 사용 중…")};
}

ClientStatus ClientStatus::resetDone()
{
    return {StatusKind::resetDone, QStringLiteral("한도 리셋 완료 — 새 사용량 불러오는 중")};
}

ClientStatus ClientStatus::resetAlreadyRedeemed()
{
    return {StatusKind::resetAlreadyRedeemed, QStringLiteral("이미 처리된 한도 리셋 — 새 사용량 불러오는 중")};
}

ClientStatus ClientStatus::resetNothingToReset()
{
    return {StatusKind::resetNothingToReset, QStringLiteral("초기화할 한도가 없어 한도 리셋을 쓰지 않음")};
}

ClientStatus ClientStatus::resetNoCredit()
{
    return {StatusKind::resetNoCredit, QStringLiteral("사용할 수 있는 한도 리셋 없음")};
}

ClientStatus ClientStatus::resetUnsupported()
{
    return {StatusKind::resetUnsupported, QStringLiteral("이 Codex 버전은 한도 리셋을 지원하지 않음")};
}

ClientStatus ClientStatus::resetFailed(std::optional<std::int64_t> code)
{
    return {StatusKind::resetFailed,
            QStringLiteral("한도 리셋 확인 실패 (코드 %1) — 다시 시도하면 같은 요청으로 확인").arg(codeText(code))};
}

ClientStatus ClientStatus::resetNoAnswer()
{
    return {StatusKind::resetNoAnswer, QStringLiteral("한도 리셋 응답 없음 — 다시 시도하면 같은 요청으로 확인")};
}

} // namespace tallyglass
