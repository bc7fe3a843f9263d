#include "BootloaderMetatypes.h"
#include "PulseLogMetatypes.h"
#include "RemoteFsMetatypes.h"
#include "SerialMetatypes.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// Integration tests drive Qt objects, timers and queued signals: they need an application
// object in the main thread; tests spin its event loop while they wait.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    registerSerialMetatypes();
    registerBootloaderMetatypes();
    registerRemoteFsMetatypes();
    registerPulseLogMetatypes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
