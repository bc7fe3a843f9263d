#include "CommonMetatypes.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// Tests drive Qt objects, timers and queued signals: they need an application object in the
// main thread, whose event loop they run while they wait.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    registerCommonMetatypes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
