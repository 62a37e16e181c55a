// One JSON object per line in both directions over the child's pipes.

#include "client/ClientCore.h"

#include <QJsonDocument>
#include <QSocketNotifier>

namespace tallyglass {

namespace {

constexpr qsizetype kErrorTailBytes = 8192;

} // namespace

void ClientCore::sendLocked(std::int64_t id, const QString& method, const QJsonObject& params)
{
    writeLocked(QJsonObject {
        {QStringLiteral("id"), qint64(id)},
        {QStringLiteral("method"), method},
        {QStringLiteral("params"), params},
    });
}

void ClientCore::writeLocked(const QJsonObject& message)
{
    if (!process || !process->hasInput())
        return;
    QByteArray line = QJsonDocument(message).toJson(QJsonDocument::Compact);
    line.append('\n');
    if (!process->writeInput(line)) {
        disconnectLocked();
        publishStatus(QStringLiteral("Codex에 요청을 보내지 못함 — 새로고침으로 재연결"));
    }
}

void ClientCore::outputReadableLocked(const QUuid& connection)
{
    if (connection != connectionID || !process || !outputNotifier_)
        return;
    bool eof = false;
    const QByteArray bytes = ChildProcess::readAvailable(process->stdoutFd(), &eof);
    if (eof)
        outputNotifier_->setEnabled(false); // the exit watcher reports the end of the child
    outputBuffer.append(bytes);
    // handleLocked may end this connection; the check stops at once then, and
    // disconnectLocked has already emptied the buffer.
    while (connection == connectionID) {
        const std::optional<QByteArray> line = outputBuffer.takeLine();
        if (!line)
            break;
        if (const std::optional<QJsonObject> message = JsonLineBuffer::parseObject(*line))
            handleLocked(*message);
    }
}

void ClientCore::errorReadableLocked(const QUuid& connection)
{
    if (connection != connectionID || !process || !errorNotifier_)
        return;
    bool eof = false;
    const QByteArray bytes = ChildProcess::readAvailable(process->stderrFd(), &eof);
    if (eof)
        errorNotifier_->setEnabled(false);
    errorBuffer.append(bytes);
    if (errorBuffer.size() > kErrorTailBytes)
        errorBuffer.remove(0, errorBuffer.size() - kErrorTailBytes);
}

} // namespace tallyglass
