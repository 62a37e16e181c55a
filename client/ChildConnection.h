#pragma once
// The connection to a `codex app-server` child over its three pipes. Lives on the
// client's work thread.

#include "AppServerConnection.h"
#include "ChildProcess.h"

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <memory>
#include <variant>

class QSocketNotifier;

namespace tallyglass {

class ChildConnection final : public AppServerConnection {
    Q_OBJECT
public:
    // Launches `executable app-server` in the home directory; the connection, or the
    // errno of the failed spawn or exec.
    static std::variant<ChildConnection*, int> launch(const QString& executable, Events events,
                                                     double requestTimeoutSeconds);

protected:
    bool writeLine(const QByteArray& line) override;
    void shutDown() override;
    qint64 nowMs() const override;
    void deadlinesChanged() override;

private:
    ChildConnection(std::unique_ptr<ChildProcess> process, Events events, double requestTimeoutSeconds);
    void readOutput();
    void readErrors();
    void childExited();

    std::unique_ptr<ChildProcess> process_;
    QByteArray errorTail_;
    QSocketNotifier* outputNotifier_;
    QSocketNotifier* errorNotifier_;
    QSocketNotifier* exitNotifier_ = nullptr;
    QTimer exitPoll_;    // without pidfd support
    QTimer deadline_;
};

} // namespace tallyglass
