// Live magnetometer samples from the virtual logger, over a real pty and the protocol client,
// drive the auto-calibrating decider; its pulses must match the virtual magnet's revolutions.
// The learned parameters also travel to the logger and back in the algorithm-parameter packets.
#include "common/CommonMetatypes.h"
#include "decider/WrappedEllipticalDecider.h"
#include "MessageCapture.h"
#include "network/TarrowindFirmware.h"
#include "serial/SerialComm.h"
#include "serial/SerialSupport.h"
#include "sim/VirtualLoggerRunner.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>
#include <QSignalSpy>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

namespace {
constexpr double kRevPerSecond = 4.0;

class Rig
{
public:
    Rig()
    {
        registerCommonMetatypes();
        initSerialSupport();
        VirtualLoggerConfig config;
        config.debugMessageIntervalMs = 0;
        config.magnet.revPerSecond = kRevPerSecond;
        config.sampleHz = 400.0;
        sim = std::make_unique<VirtualLoggerRunner>(config);
        QString error;
        started = sim->startPty(QString(), &error);
        if (!started)
            ADD_FAILURE() << error.toStdString();
        QObject::connect(&comm, &IODeviceFactory::ioDeviceChanged, &firmware,
                         [this]() { firmware.setIoDevice(comm.ioDevice()); });
        comm.setBaud(115200);
        comm.setParity(MlSerialPort::NoParity);
        comm.setAssertRts(false);
        comm.setSerialPort(sim->portName());
    }
    ~Rig()
    {
        firmware.setIoDevice(nullptr);
        sim->stop();
    }
    bool ready()
    {
        return started &&
               waitUntil([this] { return firmware.connectionState() == TarrowindFirmware::ConnectionState_Ready; },
                         15000);
    }

    std::unique_ptr<VirtualLoggerRunner> sim;
    bool started = false;
    SerialComm comm;
    TarrowindFirmware firmware;
};
}  // namespace

TEST(DeciderSamples, LiveSamplesCountTheVirtualMagnetsRevolutions)
{
    MessageCapture quiet;  // the link chatters; nothing here checks its messages
    Rig rig;
    ASSERT_TRUE(rig.ready());

    WrappedEllipticalDecider decider;
    decider.setAutoCalibrate(true);
    int64_t lastSampleTime = 0;
    int samples = 0;
    std::vector<int64_t> sampleTimes;
    QObject::connect(&rig.firmware, &TarrowindFirmware::sampleAvailable, &decider, [&](XyzSampleTimestamped s) {
        lastSampleTime = s.timestamp;
        ++samples;
        sampleTimes.push_back(int64_t(s.timestamp));
        decider.addSample(s);
    });
    std::vector<int64_t> pulseTimes;
    QObject::connect(&decider, &WrappedDecider::pulsed, &decider, [&](int64_t t) { pulseTimes.push_back(t); });
    int64_t installedAt = 0;
    QObject::connect(&decider, &WrappedEllipticalDecider::parametersChanged, &decider, [&] {
        if (installedAt == 0)
            installedAt = lastSampleTime;
    });

    ASSERT_NE(rig.firmware.sendWriteTemporary16(Network::TemporaryName16::RawXyzOutput_Enable, 1), 0);
    ASSERT_TRUE(waitUntil([&] { return installedAt != 0; }, 30000)) << samples << " samples";
    EXPECT_EQ(decider.status(), WrappedDecider::DeciderStatus_Running);

    // The virtual sensor's FIFO drops samples when its thread is starved (a loaded machine):
    // revolutions inside such a hole are not in the data at all. So judge the count on a
    // stretch of at least three seconds of gap-free samples, half a second after learning.
    constexpr int64_t kStretch = 3000000000LL;
    constexpr int64_t kMaxGap = 20000000LL;  // 8 samples at 400 Hz
    int64_t stretchStart = 0, stretchEnd = 0;
    auto findStretch = [&] {
        int64_t start = 0;
        for (size_t i = 1; i < sampleTimes.size(); ++i) {
            if (sampleTimes[i] < installedAt + 500000000LL)
                continue;
            if (start == 0 || sampleTimes[i] - sampleTimes[i - 1] > kMaxGap)
                start = sampleTimes[i];
            if (sampleTimes[i] - start >= kStretch) {
                stretchStart = start;
                stretchEnd = sampleTimes[i];
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(waitUntil(findStretch, 40000)) << "no gap-free stretch of samples";
    std::vector<int64_t> inStretch;
    for (int64_t t : pulseTimes)
        if (t > stretchStart && t <= stretchEnd)
            inStretch.push_back(t);
    // Every revolution counts once: one pulse per quarter second, none missed, none doubled.
    const double expected = kRevPerSecond * double(stretchEnd - stretchStart) / 1e9;
    EXPECT_NEAR(double(inStretch.size()), expected, 1.0);
    for (size_t i = 1; i < inStretch.size(); ++i) {
        const double gap = double(inStretch[i] - inStretch[i - 1]) / 1e9;
        EXPECT_NEAR(gap, 1.0 / kRevPerSecond, 0.05) << i;
    }
    // Over the whole run since installation the count never exceeds the magnet's turns (plus
    // the revolution in progress when the parameters arrived).
    const double turned = kRevPerSecond * double(lastSampleTime - installedAt) / 1e9;
    EXPECT_LE(double(decider.pulseCount()), turned + 1.0);

    // The learned parameters go to the logger and come back unchanged.
    const QByteArray mine = decider.serialize();
    QSignalSpy finished(&rig.firmware, &TarrowindFirmware::packetFinished);
    const uint16_t push = rig.firmware.sendPushAlgorithmParameters(mine);
    ASSERT_NE(push, 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto &args : finished)
                if (args.at(0).value<uint16_t>() == push)
                    return true;
            return false;
        },
        10000));
    QByteArray pulled;
    QObject::connect(&rig.firmware, &TarrowindFirmware::recvPullAlgorithmParametersResult, &decider,
                     [&](uint16_t, QByteArray packet) { pulled = packet; });
    ASSERT_NE(rig.firmware.sendPullAlgorithmParameters(Network::Algorithm::Elliptical), 0);
    ASSERT_TRUE(waitUntil([&] { return !pulled.isEmpty(); }, 10000));
    ASSERT_EQ(pulled.size(), 138);
    WrappedEllipticalDecider copy;
    ASSERT_TRUE(copy.deserialize(pulled));
    EXPECT_EQ(copy.serialize().mid(8), mine.mid(8));
    EXPECT_EQ(copy.status(), WrappedDecider::DeciderStatus_Running);

    rig.firmware.sendWriteTemporary16(Network::TemporaryName16::RawXyzOutput_Enable, 0);
    spinFor(100);
}
