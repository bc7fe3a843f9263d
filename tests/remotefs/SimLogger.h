#pragma once

// A protocol client connected to a virtual logger over an in-process line, for the tests of the
// classes that read the flash through the client.

#include "network/TarrowindFirmware.h"
#include "sim/InProcessSerialDevice.h"
#include "sim/VirtualLoggerRunner.h"
#include "WaitUntil.h"

#include <functional>
#include <memory>

namespace simtest {

struct SimLogger {
    explicit SimLogger(VirtualLoggerConfig config)
    {
        config.announceIntervalMs = 100;
        config.debugMessageIntervalMs = 0;
        runner = std::make_unique<VirtualLoggerRunner>(config);
        device = runner->startInProcess();
        client = std::make_unique<TarrowindFirmware>();
        client->setIoDevice(device);
    }
    ~SimLogger()
    {
        if (client)
            client->setIoDevice(nullptr);
        client.reset();
        runner->stop();
        delete device;
    }
    bool waitReady(int ms = 10000)
    {
        return waitUntil([this] { return client->connectionState() == TarrowindFirmware::ConnectionState_Ready; }, ms);
    }
    template <typename T> T onDevice(const std::function<T(VirtualLogger &)> &f)
    {
        T value{};
        runner->withDevice([&](VirtualLogger &d) { value = f(d); });
        return value;
    }
    VirtualFlashService::GroundTruth truth()
    {
        return onDevice<VirtualFlashService::GroundTruth>(
            [](VirtualLogger &d) { return d.flashService().groundTruth(); });
    }

    std::unique_ptr<VirtualLoggerRunner> runner;
    InProcessSerialDevice *device = nullptr;
    std::unique_ptr<TarrowindFirmware> client;
};

}  // namespace simtest
