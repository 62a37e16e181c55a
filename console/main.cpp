// tallyglass-status: prints the Codex usage as JSON lines; see --help.

#include "app/UnixSignalPipe.h"
#include "client/CodexAppServerClient.h"
#include "console/ConsoleOptions.h"
#include "console/StatusConsole.h"

#include <QCoreApplication>
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

    UnixSignalPipe signalPipe({SIGINT, SIGTERM});
    if (!signalPipe.isValid()) {
        printError(QStringLiteral("could not install the SIGINT and SIGTERM handlers"));
        return StatusConsole::NoUsage;
    }

    CodexAppServerClient client;
    StatusConsole console(client, *options, [](const QByteArray& line) { return writeAll(STDOUT_FILENO, line); });
    console.onDiagnostic = printError;
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
