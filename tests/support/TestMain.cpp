#include "bootloader/BootloaderMetatypes.h"
#include "pulselog/PulseLogMetatypes.h"
#include "remotefs/RemoteFsMetatypes.h"
#include "serial/SerialMetatypes.h"

#include <gtest/gtest.h>
#include <QCoreApplication>

// Tests drive Qt objects, timers and queued signals: they need an application object in the
// main thread, whose event loop they run while they wait. The value types those signals carry
// are registered here once, as the programs do at start-up; each library registers the ones it
// builds on too (network and common here).
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
