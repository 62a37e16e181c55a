#pragma once
// Drives a `codex app-server` by hand, without the client: writes requests and waits
// for their answers, as a baseline for the client's cost. Main thread only.

#include <QJsonObject>
#include <QProcess>
#include <QString>

namespace tallyglass {

class DirectAppServer {
public:
    DirectAppServer(const QString& executable, const QProcessEnvironment& environment);
    ~DirectAppServer();

    // Starts the child and completes initialize / initialized; false on failure.
    bool start(int waitMs);
    // Sends one request and waits for the answer with its id; the answer, or nothing
    // after `waitMs`.
    std::optional<QJsonObject> request(const QString& method, const QJsonObject& params, int waitMs);

private:
    QProcess process_;
    qint64 nextId_ = 1;
};

} // namespace tallyglass
