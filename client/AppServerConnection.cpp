#include "AppServerConnection.h"

#include <algorithm>
#include <charconv>
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

// Lines are put together by hand, in the order and form Qt's compact JSON gives
// ({"id":..,"method":..,"params":..}): a request goes out on every reading, and building
// it as a QJsonObject and writing that out was 40 % of the cycle's own work.
bool AppServerConnection::request(std::int64_t id, RequestKind kind, QLatin1String method, QByteArrayView params)
{
    if (closed_)
        return false;
    char digits[24];
    const char* end = std::to_chars(std::begin(digits), std::end(digits), id).ptr; // 20 digits at most
    QByteArray line;
    line.reserve(40 + method.size() + params.size());
    line.append("{\"id\":").append(digits, end - digits).append(",\"method\":\"");
    line.append(method.data(), method.size()).append("\",\"params\":").append(params).append("}\n");
    if (!writeLine(line))
        return false;
    pending_.add(id, kind, nowMs() + requestTimeoutMs_);
    deadlinesChanged();
    return true;
}

bool AppServerConnection::notify(QLatin1String method)
{
    if (closed_)
        return false;
    QByteArray line;
    line.reserve(16 + method.size());
    line.append("{\"method\":\"").append(method.data(), method.size()).append("\"}\n");
    return writeLine(line);
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
