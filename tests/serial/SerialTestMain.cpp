#include "SerialMetatypes.h"
#include "SerialSupport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    registerSerialMetatypes();
    ::testing::InitGoogleTest(&argc, argv);
    initSerialSupport();
    const int result = RUN_ALL_TESTS();
    shutdownSerialSupport();
    return result;
}
