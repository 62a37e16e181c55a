#include "platform/SingleInstance.h"
#include "platform/UnixSignalPipe.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

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

} // namespace
} // namespace tallyglass::test
