#include "SerialSupport.h"

#include "AbstractSerialPort.h"
#include "DeviceNamePatterns.h"

#ifdef _WIN32
#include "WindowsFtdiLibrary.h"
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
    DeviceNamePatterns::compile();
#ifdef _WIN32
    AbstractSerialPort::registerPortDriverFactory(
        std::make_unique<AbstractSerialPort::TemplatedPortDriverFactory<WindowsPortDriver>>());
    WindowsFtdiLibrary::load();
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
#ifdef _WIN32
    WindowsFtdiLibrary::unload();
#endif
}
