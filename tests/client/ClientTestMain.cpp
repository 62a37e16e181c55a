// gtest entry point for tests that need a Qt event loop on the main thread.
#include <QCoreApplication>
#include <csignal>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // As the application does: a write to a child that has gone fails instead of killing us.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
