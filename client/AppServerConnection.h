#pragma once
// One connection to an app-server: messages out as JSON lines, messages in one by one,
// the requests awaiting an answer with their deadlines, and the end of the connection.
// Lives on the client's work thread; its events are called there.

#include "client/ClientStatus.h"
#include "JsonLineBuffer.h"
#include "PendingRequests.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

namespace tallyglass {

class AppServerConnection : public QObject {
    Q_OBJECT
public:
    struct Events {
        std::function<void(const QJsonObject&)> message;
        // A request went unanswered past its deadline; it is no longer pending.
        std::function<void(std::int64_t id, RequestKind kind)> overdue;
        // The other side ended on its own, with the status that tells the user how.
        std::function<void(const ClientStatus&)> ended;
    };

    AppServerConnection(Events events, double requestTimeoutSeconds);

    // Writes one request and keeps it pending until its answer or its deadline.
    // `method` is one of our own method names, written as it is (it needs no escaping);
    // `params` is a JSON object as compact text. False when the write failed; the
    // connection is then of no further use.
    bool request(std::int64_t id, RequestKind kind, QLatin1String method, QByteArrayView params);
    bool notify(QLatin1String method);
    PendingRequests& pending() { return pending_; }

    // Ends the connection: no event is called from here on. Its owner deletes it later,
    // since a close may come from inside one of its own events.
    void close();
    bool isClosed() const { return closed_; }

protected:
    virtual bool writeLine(const QByteArray& line) = 0;
    // Stops whatever runs behind the connection; called once, from close().
    virtual void shutDown() = 0;
    // The monotonic clock, in milliseconds, that deadlines count on.
    virtual qint64 nowMs() const = 0;
    // Called whenever the earliest deadline may have changed.
    virtual void deadlinesChanged() {}

    // Cuts received bytes into lines and hands every JSON object on, until closed.
    void receive(QByteArrayView bytes);
    void expireOverdue();
    void reportEnd(const ClientStatus& status);

private:
    Events events_;
    const qint64 requestTimeoutMs_;
    JsonLineBuffer lines_;
    PendingRequests pending_;
    bool closed_ = false;
};

} // namespace tallyglass
