#include "bench/client/DirectAppServer.h"
#include "tallyglass/Version.h"

#include <QDeadlineTimer>
#include <QJsonDocument>

namespace tallyglass {

DirectAppServer::DirectAppServer(const QString& executable, const QProcessEnvironment& environment)
{
    process_.setProgram(executable);
    process_.setArguments({QStringLiteral("app-server")});
    process_.setProcessEnvironment(environment);
    process_.setStandardErrorFile(QProcess::nullDevice());
}

DirectAppServer::~DirectAppServer()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.closeWriteChannel();
        process_.terminate();
        if (!process_.waitForFinished(2000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
}

bool DirectAppServer::start(int waitMs)
{
    process_.start();
    if (!process_.waitForStarted(waitMs))
        return false;
    const QJsonObject params{
        {"clientInfo", QJsonObject{{"name", "tallyglass"}, {"title", "Tallyglass"}, {"version", TALLYGLASS_VERSION}}},
        {"capabilities", QJsonObject{{"experimentalApi", false}}},
    };
    if (!request(QStringLiteral("initialize"), params, waitMs))
        return false;
    process_.write("{\"method\":\"initialized\"}\n");
    return true;
}

std::optional<QJsonObject> DirectAppServer::request(const QString& method, const QJsonObject& params, int waitMs)
{
    const qint64 id = nextId_++;
    const QJsonObject message{{"id", id}, {"method", method}, {"params", params}};
    process_.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');

    QDeadlineTimer deadline(waitMs);
    for (;;) {
        while (process_.canReadLine()) {
            const QJsonObject answer = QJsonDocument::fromJson(process_.readLine()).object();
            if (!answer.contains(QLatin1String("method")) && answer.value(QLatin1String("id")).toInteger(-1) == id)
                return answer;
        }
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning)
            return std::nullopt;
        process_.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
}

} // namespace tallyglass
