// Runs the console tests with a Qt application object; the test process adopts the
// orphans of the programs it starts, so that a codex left running can be found.

#include "tests/console/ConsoleProcess.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    if (!tallyglass::ConsoleProcess::becomeSubreaper()) {
        fprintf(stderr, "cannot become a child subreaper; left-over processes would go unseen\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
