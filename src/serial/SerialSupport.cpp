#include "SerialSupport.h"

#include "AbstractSerialPort.h"

#ifdef _WIN32
#include "WindowsPortDriver.h"
#else
#include "PosixPortDriver.h"
#endif

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
#ifdef _WIN32
    AbstractSerialPort::registerPortDriverFactory(
        std::make_unique<AbstractSerialPort::TemplatedPortDriverFactory<WindowsPortDriver>>());
#else
    AbstractSerialPort::registerPortDriverFactory(
        std::make_unique<AbstractSerialPort::TemplatedPortDriverFactory<PosixPortDriver>>());
#endif
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
