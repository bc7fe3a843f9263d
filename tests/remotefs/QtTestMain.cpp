#include "RemoteFsMetatypes.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// These tests drive Qt objects through queued signals: the main thread runs the event loop.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    registerRemoteFsMetatypes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
