// tallyglass-status: prints the Codex usage as JSON lines; see --help.

#include "platform/UnixSignalPipe.h"
#include "client/CodexAppServerClient.h"
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
        if (!writeAll(STDOUT_FILENO, DeliveryJson::line(DeliveryJson::snapshot(reading.snapshot))))
            return StatusConsole::OutputFailed;
    }
    return StatusConsole::Reading;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace tallyglass;
    std::signal(SIGPIPE, SIG_IGN);
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

    UnixSignalPipe signalPipe({SIGINT, SIGTERM});
    if (!signalPipe.isValid()) {
        printError(QStringLiteral("could not install the SIGINT and SIGTERM handlers"));
        return StatusConsole::NoUsage;
    }

    CodexAppServerClient client;
    StatusConsole console(client, *options, [](const QByteArray& line) { return writeAll(STDOUT_FILENO, line); });
    console.onDiagnostic = printError;
    std::optional<HistoryStore> history;
    if (options->recordHistory) {
        // A reading that cannot be stored is still printed; the history just lacks it.
        history.emplace(HistoryStore::defaultPath());
        console.onReading = [&history](const UsageSnapshot& reading) { history->record(reading); };
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
