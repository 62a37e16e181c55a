#include "AppServerConnection.h"

#include <QJsonDocument>
#include <algorithm>
#include <cmath>
#include <limits>

namespace tallyglass {

namespace {

qint64 toMilliseconds(double seconds)
{
    const double ms = std::clamp(seconds * 1000.0, 0.0, double(std::numeric_limits<int>::max()));
    return qint64(std::llround(ms));
}

} // namespace

AppServerConnection::AppServerConnection(Events events, double requestTimeoutSeconds)
    : events_(std::move(events))
    , requestTimeoutMs_(toMilliseconds(requestTimeoutSeconds))
{
}

bool AppServerConnection::request(std::int64_t id, RequestKind kind, const QString& method,
                                  const QJsonObject& params)
{
    const QJsonObject message {
        {QStringLiteral("id"), qint64(id)},
        {QStringLiteral("method"), method},
        {QStringLiteral("params"), params},
    };
    if (closed_ || !writeLine(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n'))
        return false;
    pending_.add(id, kind, nowMs() + requestTimeoutMs_);
    deadlinesChanged();
    return true;
}

bool AppServerConnection::notify(const QString& method)
{
    const QJsonObject message {{QStringLiteral("method"), method}};
    return !closed_ && writeLine(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
}

void AppServerConnection::close()
{
    if (closed_)
        return;
    closed_ = true;
    pending_.clear();
    lines_.clear();
    shutDown();
}

void AppServerConnection::receive(QByteArrayView bytes)
{
    lines_.append(bytes);
    while (!closed_) {
        const std::optional<QByteArray> line = lines_.takeLine();
        if (!line)
            break;
        if (const std::optional<QJsonObject> message = JsonLineBuffer::parseObject(*line))
            events_.message(*message);
    }
    if (!closed_)
        deadlinesChanged(); // an answer may have settled the earliest deadline
}

void AppServerConnection::expireOverdue()
{
    for (const auto& [id, kind] : pending_.takeOverdue(nowMs())) {
        if (closed_)
            return;
        events_.overdue(id, kind);
    }
    if (!closed_)
        deadlinesChanged();
}

void AppServerConnection::reportEnd(const ClientStatus& status)
{
    if (!closed_)
        events_.ended(status);
}

} // namespace tallyglass
