#include "SerialSupport.h"

#include "AbstractSerialPort.h"
#include "PlatformPortDriver.h"

#include <QDebug>

#include <atomic>

namespace {
std::atomic<bool> g_initialised{false};
}

void initSerialSupport()
{
    // One driver factory per process, however often start-up code runs.
    if (g_initialised.exchange(true))
        return;
    AbstractSerialPort::registerPortDriverFactory(makePlatformPortDriverFactory());
}

void shutdownSerialSupport()
{
    if (!g_initialised.exchange(false))
        return;
    AbstractSerialPort::clearPortDriverFactories();
}

bool ftdiElevatedFix(const QString &elevatedFixPath)
{
    qDebug().noquote() << "ftdiElevatedFix" << elevatedFixPath;
    // The driver-settings repair exists only for the Windows FTDI bus driver.
    return false;
}
