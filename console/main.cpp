// tallyglass-status: prints the Codex usage as JSON lines; see --help.

#include "platform/UnixSignalPipe.h"
#include "client/CodexAppServerClient.h"
#include "client/EmergencyStop.h"
#include "console/ConsoleOptions.h"
#include "console/DeliveryJson.h"
#include "console/StatusConsole.h"
#include "tallyglass/Version.h"
#include "history/HistoryStore.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

// The reader of `fd` has gone: a pipe whose read end closed, or a terminal that hung up.
bool readerGone(int fd)
{
    pollfd polled{fd, 0, 0};
    return ::poll(&polled, 1, 0) > 0 && (polled.revents & (POLLERR | POLLHUP)) != 0;
}

void printError(const QString& text)
{
    writeAll(STDERR_FILENO, "tallyglass-status: " + text.toUtf8() + '\n');
}

// --use-reset without --yes: asks on the terminal. Only "y" or "yes" spends.
bool userAgreesToReset()
{
    writeAll(STDERR_FILENO, QStringLiteral("한도 리셋 1개를 사용할까요? [y/N] ").toUtf8());
    QByteArray answer;
    char byte = 0;
    while (answer.size() < 256) {
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == '\n')
            break;
        answer += byte;
    }
    answer = answer.trimmed().toLower();
    return answer == "y" || answer == "yes";
}

// --history: the stored readings as snapshot lines, oldest first. Only reads: a missing
// or empty store prints nothing; one that is there but cannot be read is a failure.
int printHistory(const tallyglass::ConsoleOptions& options)
{
    using namespace tallyglass;
    const QString path = HistoryStore::defaultPath();
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    const double since = options.sinceHours ? now - *options.sinceHours * 3600 : -qInf();
    HistoryStore store(path, HistoryStore::Access::readOnly);
    const std::optional<std::vector<StoredReading>> readings = store.storedReadings(since);
    if (!readings) {
        printError(path.isEmpty() ? QStringLiteral("cannot read the history: no home folder is known")
                                  : QStringLiteral("cannot read the history in %1").arg(path));
        return StatusConsole::NoUsage;
    }
    for (const StoredReading& reading : *readings) {
        UsageAllowance buckets;
        buckets.otherLimits = reading.otherLimits;
        if (!writeAll(STDOUT_FILENO, DeliveryJson::line(DeliveryJson::snapshot(reading.snapshot, buckets))))
            return StatusConsole::OutputFailed;
    }
    return StatusConsole::Reading;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace tallyglass;
    // A closed reader or a file size limit fails the write instead of ending the process:
    // a size limit then loses history rows as a full disk does, and the readings go on.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);

    QString error;
    const std::optional<ConsoleOptions> options = ConsoleOptions::parse(app.arguments().mid(1), &error);
    if (!options) {
        printError(error + QStringLiteral(" (see --help)"));
        return StatusConsole::BadArgument;
    }
    if (options->mode == ConsoleOptions::Mode::Help)
        return writeAll(STDOUT_FILENO, ConsoleOptions::helpText().toUtf8()) ? 0 : StatusConsole::OutputFailed;
    if (options->mode == ConsoleOptions::Mode::Version)
        return writeAll(STDOUT_FILENO, "tallyglass-status " TALLYGLASS_VERSION "\n") ? 0 : StatusConsole::OutputFailed;
    if (options->mode == ConsoleOptions::Mode::History)
        return printHistory(*options);
    if (options->mode == ConsoleOptions::Mode::UseReset && !options->confirmed) {
        if (!::isatty(STDIN_FILENO)) {
            printError(QStringLiteral("--use-reset asks before it spends a reset: run it on a terminal, or add --yes"));
            return StatusConsole::BadArgument;
        }
        if (!userAgreesToReset()) {
            printError(QStringLiteral("no reset was used"));
            return StatusConsole::NoUsage;
        }
    }

    UnixSignalPipe signalPipe({SIGINT, SIGTERM});
    if (!signalPipe.isValid()) {
        printError(QStringLiteral("could not install the SIGINT and SIGTERM handlers"));
        return StatusConsole::NoUsage;
    }
    // A second signal, or 5 s without the orderly stop having ended us, ends codex and us at once.
    signalPipe.setForcedExit(5, &EmergencyStop::killAll);

    CodexAppServerClient client;
    StatusConsole console(client, *options, [](const QByteArray& line) { return writeAll(STDOUT_FILENO, line); });
    console.onDiagnostic = printError;
    std::optional<HistoryStore> history;
    if (options->recordHistory) {
        // A reading that cannot be stored is still printed; the history just lacks it.
        history.emplace(HistoryStore::defaultPath());
        console.onReading = [&history](const UsageSnapshot& reading, const UsageAllowance& allowance) {
            history->record(reading, allowance.otherLimits);
        };
    }
    console.onFinished = [](int code) { QCoreApplication::exit(code); };
    signalPipe.onSignal = [&console](int signalNumber) { console.interrupt(signalNumber); };
    // A status bar that stops closes the pipe it reads from. Between changes nothing is
    // written, so only watching the pipe tells at once; then the child is stopped too.
    QSocketNotifier outputWatch(STDOUT_FILENO, QSocketNotifier::Exception);
    QObject::connect(&outputWatch, &QSocketNotifier::activated, &console, [&outputWatch, &console] {
        if (!readerGone(STDOUT_FILENO))
            return;
        outputWatch.setEnabled(false);
        console.outputClosed();
    });
    console.begin();
    return app.exec();
}
