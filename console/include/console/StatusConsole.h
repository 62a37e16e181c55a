#pragma once
// Drives one client for tallyglass-status: prints every delivery as a JSON line and
// decides when and with which code to finish. Main thread only.

#include "client/ClientStatus.h"
#include "console/BarLines.h"
#include "console/ConsoleOptions.h"
#include "usage/UsageAllowance.h"
#include "usage/UsageSnapshot.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>

namespace tallyglass {

class CodexAppServerClient;

class StatusConsole : public QObject {
public:
    enum ExitCode {
        Reading = 0,
        NoUsage = 1,
        BadArgument = 2,
        TimedOut = 3,
        OutputFailed = 4,
    };

    // Writes one whole line to standard output; false when it could not.
    using LineWriter = std::function<bool(const QByteArray&)>;

    StatusConsole(CodexAppServerClient& client, ConsoleOptions options, LineWriter writeLine,
                  QObject* parent = nullptr);

    // Called once, after the client has been stopped, with the exit code.
    std::function<void(int)> onFinished;
    // One line for standard error (without a line feed) that says why the program ends.
    std::function<void(const QString&)> onDiagnostic;
    // Every reading, with the allowance read with it, after it was printed.
    std::function<void(const UsageSnapshot&, const UsageAllowance&)> onReading;

    // Sets the client's callbacks, starts it and arms the timers.
    void begin();
    // SIGINT or SIGTERM arrived.
    void interrupt(int signalNumber);
    // The reader of standard output has gone away (a status bar stopped).
    void outputClosed();
    bool isFinished() const { return finished_; }

private:
    CodexAppServerClient& client_;
    ConsoleOptions options_;
    LineWriter writeLine_;
    std::optional<BarLines> bar_; // with a bar format
    UsageAllowance allowance_;    // published with the snapshot that comes next
    // With --use-reset: a first reading, then the reset is spent, then (after "reset" or
    // "alreadyRedeemed") the reading the client starts at once.
    enum class ResetStep { reading, spending, rereading } resetStep_ = ResetStep::reading;
    QTimer deadline_;
    QTimer refreshTimer_;
    QTimer staleTimer_; // with a bar format: fires when a slow reading turns the bar stale
    QByteArray lastPrinted_;
    bool finished_ = false;

    void deliverStatus(const std::optional<ClientStatus>& status);
    void deliverSnapshot(const UsageSnapshot& snapshot);
    void followReset(const ClientStatus& status);
    bool print(const std::optional<QByteArray>& line);
    void armStaleTimer();
    void finish(int code);
};

} // namespace tallyglass
