#include "SerialSupport.h"

#include "AbstractSerialPort.h"
#include "DeviceNamePatterns.h"
#include "PlatformPortDriver.h"

#ifdef _WIN32
#include "WindowsFtdiLibrary.h"
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
    AbstractSerialPort::registerPortDriverFactory(makePlatformPortDriverFactory());
#ifdef _WIN32
    WindowsFtdiLibrary::load();
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
