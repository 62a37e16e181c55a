#pragma once
// The events ClientHarness records for the client's fixed status texts. Any thread (constants).

#include "tests/client/ClientHarness.h"

#include <QString>
#include <QStringList>

namespace tallyglass::events {

inline const QString loading = QStringLiteral("status:사용량 불러오는 중…");
inline const QString checking = QStringLiteral("status:계정 확인 중… 이전 사용량 표시 중지");
inline const QString cleared = QStringLiteral("status:null");
inline const QString loginNeeded = QStringLiteral("status:Codex에서 ChatGPT 로그인이 필요함 — 이전 사용량 표시 중지");
inline const QString accountChanged = QStringLiteral("status:계정 상태 변경 — 이전 사용량 표시 중지");
inline const QString noAccountAnswer = QStringLiteral("status:계정 확인 응답 없음");
inline const QString noUsageData = QStringLiteral("status:사용량 데이터 없음");

inline QString status(const QString& text)
{
    return QStringLiteral("status:") + text;
}
inline QString reconnecting(const QString& reason)
{
    return status(reason + QStringLiteral(" — Codex 재연결 중…"));
}
inline QString refused(const QString& reason)
{
    return status(reason + QStringLiteral(" — 자동 재시도 중단, 잠시 후 새로고침 (이전 사용량 표시 중지)"));
}

// From launch to the published snapshot of the fake's happy preset.
inline QStringList happyCycle()
{
    return {loading, checking, cleared, ClientHarness::happySnapshot()};
}
// A cycle on a connection that is already up.
inline QStringList happyRefresh()
{
    return {checking, cleared, ClientHarness::happySnapshot()};
}

} // namespace tallyglass::events
