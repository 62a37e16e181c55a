#include "app/AppDelegate.h"
#include "app/ProductionCollaborators.h"
#include "client/EmergencyStop.h"
#include "platform/SingleInstance.h"
#include "platform/TrayHostWatch.h"
#include "platform/UnixSignalPipe.h"
#include "tallyglass/Version.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

// The program logs nothing; only messages that end it reach the terminal.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "tallyglass: %s\n", qUtf8Printable(message));
}

// With no session bus, libdbus would autolaunch one on the X display (dbus-launch and a
// dbus-daemon) that outlives us and holds our environment. Without a bus there is simply
// no StatusNotifierItem host to find, and XEmbed serves.
void neverAutolaunchABus()
{
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
        return;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")))
        return; // libdbus finds the user bus there itself
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
}

// Runs the event loop; `restart` tells whether the program should start anew.
int run(int& argc, char** argv, bool& restart)
{
    using namespace tallyglass;
    QApplication application(argc, argv);
    // StatusNotifierItem hosts show the application's name as the item's title.
    QApplication::setApplicationName(QStringLiteral("Tallyglass"));
    QApplication::setQuitOnLastWindowClosed(false);

    // A session ending with SIGTERM, SIGINT or SIGHUP takes the same orderly path as "종료";
    // a second signal, or 5 s without that path having ended us, ends codex and us at once.
    UnixSignalPipe signalPipe({SIGTERM, SIGINT, SIGHUP});
    signalPipe.onSignal = [](int) { QCoreApplication::quit(); };
    signalPipe.setForcedExit(5, &EmergencyStop::killAll);

    // Made before the tray icon, so it sees the bus as Qt does when choosing SNI or XEmbed.
    TrayHostWatch hostWatch;
    hostWatch.onHostAppeared = [&restart] {
        restart = true;
        QCoreApplication::quit();
    };

    AppDelegate delegate(productionCollaborators());
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     [&delegate] { delegate.applicationWillTerminate(); });
    QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
    return QApplication::exec();
}

// This program's file as the file system names it, so that a restart keeps the process's
// name (/proc/self/exe would make it "exe"); empty when it cannot be read.
QByteArray ownPath()
{
    char path[PATH_MAX];
    const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path);
    return size > 0 && size < ssize_t(sizeof path) ? QByteArray(path, size) : QByteArray();
}

} // namespace

int main(int argc, char* argv[])
{
    using namespace tallyglass;
    // A closed reader or a file size limit fails the write instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // Answered before the lock, the display and the tray, so it works anywhere.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("tallyglass " TALLYGLASS_VERSION);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        }
    }
    qInstallMessageHandler(quietMessages);
    // QApplication takes its own options out of argv; a restart needs the line as given.
    std::vector<char*> commandLine(argv, argv + argc + 1);

    // Checked before connecting to the display, so a second copy leaves at once. A lock
    // that cannot be made at all does not stop the program.
    std::unique_ptr<SingleInstance> instance = SingleInstance::acquire(SingleInstance::lockDirectory());
    if (!instance) {
        std::fputs("tallyglass: already running in this session\n", stderr);
        return 1;
    }

    neverAutolaunchABus();
    bool restart = false;
    const int code = run(argc, argv, restart);
    if (!restart)
        return code;
    // The child is stopped and every window is gone. The lock stays held through the exec,
    // so no copy started meanwhile can take it; the new image takes it over.
    instance->keepAcrossExec();
    const QByteArray path = ownPath();
    if (!path.isEmpty())
        ::execv(path.constData(), commandLine.data());
    // Moved or deleted since it started (an upgrade): the running image still can.
    ::execv("/proc/self/exe", commandLine.data());
    std::fprintf(stderr, "tallyglass: could not start anew for the new tray: %s\n", std::strerror(errno));
    return 1;
}
