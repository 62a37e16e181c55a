#include "app/AppDelegate.h"
#include "app/ProductionCollaborators.h"
#include "app/SingleInstance.h"
#include "app/UnixSignalPipe.h"
#include "tallyglass/Version.h"

#include <QApplication>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// The program logs nothing; only messages that end it reach the terminal.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "tallyglass: %s\n", qUtf8Printable(message));
}

} // namespace

int main(int argc, char* argv[])
{
    using namespace tallyglass;
    // Answered before the lock, the display and the tray, so it works anywhere.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("tallyglass " TALLYGLASS_VERSION);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    qInstallMessageHandler(quietMessages);

    // Checked before connecting to the display, so a second copy leaves at once.
    const std::unique_ptr<SingleInstance> instance = SingleInstance::acquire(SingleInstance::runtimeDirectory());
    if (!instance) {
        std::fputs("tallyglass: already running in this session\n", stderr);
        return 1;
    }

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    // A session ending with SIGTERM, SIGINT or SIGHUP takes the same orderly path as "종료".
    UnixSignalPipe signalPipe({SIGTERM, SIGINT, SIGHUP});
    signalPipe.onSignal = [](int) { QCoreApplication::quit(); };

    AppDelegate delegate(productionCollaborators());
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
    return QApplication::exec();
}
