#include "client/EmergencyStop.h"
#include "platform/SingleInstance.h"
#include "platform/UnixSignalPipe.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tallyglass::test {
namespace {

// Processes events until `done` holds or the time runs out.
bool waitFor(const std::function<bool()>& done, int milliseconds = 5000)
{
    QDeadlineTimer deadline(milliseconds);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

TEST(UnixSignalPipe, TerminationSignalsReachTheEventLoop)
{
    std::vector<int> received;
    {
        UnixSignalPipe pipe({SIGTERM, SIGINT, SIGHUP});
        pipe.onSignal = [&](int signal) { received.push_back(signal); };
        ASSERT_TRUE(pipe.isValid());
        {
            // A second one is refused and, going away, leaves the first one's handlers alone.
            UnixSignalPipe second({SIGTERM});
            EXPECT_FALSE(second.isValid());
        }
        ::raise(SIGTERM);
        ::raise(SIGHUP);
        ::raise(SIGINT);
        ASSERT_TRUE(waitFor([&] { return received.size() == 3; }))
            << "waited 5 s for three signals to arrive on the event loop, got " << received.size();
    }
    EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGHUP, SIGINT}));

    // Removing the pipe restores the earlier disposition.
    struct sigaction current {};
    ::sigaction(SIGTERM, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
}

// A process group of its own running `sleep`, as a codex child would.
pid_t spawnGroup()
{
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    char sleep[] = "sleep";
    char seconds[] = "30";
    char* argv[] = {sleep, seconds, nullptr};
    pid_t pid = -1;
    posix_spawnp(&pid, "sleep", nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// How the group ended: SIGKILL when the emergency stop reached it. Waits at most as long
// as `sleep` runs.
int endingSignal(pid_t group)
{
    int status = 0;
    return ::waitpid(group, &status, 0) == group && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// A main thread stuck in a blocking call never takes the orderly way out: a second signal,
// or the grace after the first, ends the child's group and the process from the handler.
TEST(UnixSignalPipe, ASecondSignalOrTheGraceEndsAStuckProcessAndItsChild)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    const auto stuck = [](pid_t group, unsigned grace, bool second) {
        UnixSignalPipe pipe({SIGTERM, SIGINT});
        pipe.setForcedExit(grace, &EmergencyStop::killAll);
        EmergencyStop::add(group);
        ::raise(SIGTERM);
        if (second)
            ::raise(SIGINT);
        for (;;)
            ::pause();
    };
    const pid_t first = spawnGroup();
    ASSERT_GT(first, 0);
    EXPECT_EXIT(stuck(first, 30, true), ::testing::ExitedWithCode(128 + SIGTERM), "");
    EXPECT_EQ(endingSignal(first), SIGKILL);

    const pid_t second = spawnGroup();
    ASSERT_GT(second, 0);
    EXPECT_EXIT(stuck(second, 1, false), ::testing::ExitedWithCode(128 + SIGTERM), "");
    EXPECT_EQ(endingSignal(second), SIGKILL);
}

// Under a file size limit a write fails; it must not end the program with SIGXFSZ.
TEST(ProcessGuards, AFileSizeLimitFailsTheWriteInsteadOfEndingTheProgram)
{
    QTemporaryDir dir;
    for (const char* program : {TALLYGLASS_TRAY_PROGRAM, TALLYGLASS_STATUS_PROGRAM}) {
        SCOPED_TRACE(program);
        QProcess process;
        const QString script = QStringLiteral("ulimit -f 0; exec \"$0\" --version >\"$1\"");
        process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script, QString::fromLocal8Bit(program),
                                                  dir.filePath(QStringLiteral("out"))});
        ASSERT_TRUE(process.waitForFinished(20'000)) << "waited 20 s for --version";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "ended by a signal";
        EXPECT_NE(process.exitCode(), 0) << "the failed write is reported";
    }
}

TEST(SingleInstance, SecondCopyIsRefusedAndStaleLocksAreTakenOver)
{
    QTemporaryDir runtime;
    const QString directory = runtime.filePath(QStringLiteral("run"));
    {
        const auto first = SingleInstance::acquire(directory);
        ASSERT_TRUE(first);
        EXPECT_FALSE(SingleInstance::acquire(directory)) << "a second copy is refused";
    }
    EXPECT_TRUE(SingleInstance::acquire(directory)) << "released at exit";

    // A lock left by a process that no longer runs.
    QFile stale(directory + QStringLiteral("/tallyglass.lock"));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("999999999\ntallyglass\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    stale.close();
    EXPECT_TRUE(SingleInstance::acquire(directory));
}

// The in-place restart execs this program anew: the lock stays held throughout, and the
// new image takes it over. Here the new image is this test binary, run for the case below.
TEST(SingleInstance, LockIsHeldAcrossExecAndTakenOverByTheNewImage)
{
    if (qEnvironmentVariableIsSet("TALLYGLASS_TEST_NEW_IMAGE_DIR")) {
        const QString directory = qEnvironmentVariable("TALLYGLASS_TEST_NEW_IMAGE_DIR");
        // A copy started in the gap between the exec and the new image's acquire.
        const int copy = ::open(QFile::encodeName(directory + QStringLiteral("/tallyglass.lock")).constData(),
                                O_RDWR | O_CLOEXEC);
        const bool copyGotIt = copy >= 0 && ::flock(copy, LOCK_EX | LOCK_NB) == 0;
        const auto instance = SingleInstance::acquire(directory);
        std::_Exit(!copyGotIt && instance && instance->isLocked() ? 0 : 1);
    }
    QTemporaryDir runtime;
    auto first = SingleInstance::acquire(runtime.path());
    ASSERT_TRUE(first && first->isLocked());
    first->keepAcrossExec();

    // posix_spawn passes the descriptor on as an exec does.
    const QByteArray self = QFile::encodeName(QCoreApplication::applicationFilePath());
    QByteArray filter = "--gtest_filter=SingleInstance.LockIsHeldAcrossExecAndTakenOverByTheNewImage";
    char* argv[] = {const_cast<char*>(self.constData()), filter.data(), nullptr};
    qputenv("TALLYGLASS_TEST_NEW_IMAGE_DIR", QFile::encodeName(runtime.path()));
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, self.constData(), nullptr, nullptr, argv, environ);
    qunsetenv("TALLYGLASS_TEST_NEW_IMAGE_DIR");
    ASSERT_EQ(spawned, 0);
    // From here only the new image holds the lock.
    first.reset();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the lock was free in the gap, or not taken over";
    qunsetenv("TALLYGLASS_INSTANCE_LOCK_FD");
}

// One copy per user whatever XDG_RUNTIME_DIR says: the lock's folder is the runtime folder
// only when it is the user's own, else the same fallback for every copy.
TEST(SingleInstance, LockFolderIsTheUsersOwnWhateverTheEnvironment)
{
    QTemporaryDir root;
    const auto folder = [&](const QString& name, mode_t mode) {
        const QString path = root.filePath(name);
        QDir().mkpath(path);
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path;
    };
    const QString own = folder(QStringLiteral("own"), 0700);
    const QString open = folder(QStringLiteral("open"), 0755);
    const QString link = root.filePath(QStringLiteral("link"));
    QFile::link(own, link);
    const QString systemRuntime = root.filePath(QStringLiteral("run-user"));
    const QString temporary = folder(QStringLiteral("tmp"), 0777);
    const QString fallback = temporary + QStringLiteral("/tallyglass-") + QString::number(::getuid());

    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    const auto lockFolder = [&](const QByteArray& runtime) {
        runtime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", runtime);
        return SingleInstance::lockDirectory(systemRuntime, temporary);
    };
    EXPECT_EQ(lockFolder(QFile::encodeName(own)), own);
    for (const QByteArray& runtime : {QByteArray(), QByteArray("relcfg"), QByteArray("/proc/no-such-folder"),
                                      QFile::encodeName(open), QFile::encodeName(link)}) {
        SCOPED_TRACE(runtime.toStdString());
        EXPECT_EQ(lockFolder(runtime), fallback);
    }
    struct stat made {};
    ASSERT_EQ(::lstat(QFile::encodeName(fallback).constData(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u);

    // The system's runtime folder of the user comes before the fallback.
    const QString mine = folder(QStringLiteral("run-user/") + QString::number(::getuid()), 0700);
    EXPECT_EQ(lockFolder("relcfg"), mine);
    QDir(mine).removeRecursively();

    // A fallback that someone else made, or a link, is never used (nor its mode changed).
    QDir(fallback).removeRecursively();
    QFile::link(own, fallback);
    EXPECT_EQ(lockFolder({}), QString());
    if (::getuid() == 0) {
        QFile::remove(fallback);
        folder(fallback.mid(root.path().size() + 1), 0777);
        ASSERT_EQ(::chown(QFile::encodeName(fallback).constData(), 65534, 65534), 0);
        EXPECT_EQ(lockFolder({}), QString());
        struct stat theirs {};
        ::lstat(QFile::encodeName(fallback).constData(), &theirs);
        EXPECT_EQ(theirs.st_mode & 07777, 0777u);
    }
    saved.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", saved);
}

} // namespace
} // namespace tallyglass::test
