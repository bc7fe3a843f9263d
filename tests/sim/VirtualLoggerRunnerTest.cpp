// The runner's thread, the in-process line and the test-facing controls.

#include "sim/VirtualLoggerRunner.h"
#include "network/Network.h"
#include "network/PacketParser.h"
#include "sim/InProcessSerialDevice.h"
#include "WaitUntil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace Network;

namespace {
class RunnerTest : public ::testing::Test
{
protected:
    // A host end that parses what arrives.
    struct Host {
        explicit Host(QIODevice *d) : device(d), parser(Direction::ServerToClient)
        {
            parser.setPacketHandler([this](const PacketBase &p, int length) {
                packets.push_back(QByteArray(reinterpret_cast<const char *>(&p), length));
            });
            QObject::connect(device, &QIODevice::readyRead, [this] { parser.feed(device->readAll()); });
        }
        int count(uint16_t type, int requestId = -1) const
        {
            int n = 0;
            for (const auto &p : packets) {
                PacketBase b;
                std::memcpy(&b, p.constData(), sizeof b);
                n += b.type == type && (requestId < 0 || b.requestId == requestId);
            }
            return n;
        }
        QIODevice *device;
        PacketParser parser;
        std::vector<QByteArray> packets;
    };

    static VirtualLoggerConfig config()
    {
        VirtualLoggerConfig c;
        c.debugMessageIntervalMs = 0;
        c.flash.closedSessions = 1;
        return c;
    }
};
}  // namespace

TEST_F(RunnerTest, InProcessLineCarriesRequestsAndAnswers)
{
    VirtualLoggerRunner sim(config());
    std::unique_ptr<InProcessSerialDevice> device(sim.startInProcess());
    ASSERT_TRUE(device);
    ASSERT_TRUE(device->isOpen());
    Host host(device.get());
    ASSERT_TRUE(waitUntil([&] { return host.count(S2C_GetDeviceIdResult, 0) > 0; }, 3000));

    device->write(encodePacket(C2S_GetStats, 5));
    device->write(encodePacket(C2S_GetStats, 6));
    ASSERT_TRUE(waitUntil([&] { return host.count(S2C_GetStatsResult) == 2; }, 3000));
    EXPECT_EQ(sim.requestCount(C2S_GetStats), 2u);

    // Counters and state are readable from the test thread while the device runs.
    uint64_t seen = 0;
    sim.withDevice([&](VirtualLogger &d) { seen = d.requestCount(C2S_GetStats); });
    EXPECT_EQ(seen, 2u);
    EXPECT_EQ(sim.mode(), VirtualLogger::Mode::Firmware);

    // The host end may go away while the device keeps talking.
    device.reset();
    sim.withDevice([](VirtualLogger &d) { d.restart(VirtualLoggerRunner::monotonicNs()); });
    QCoreApplication::processEvents();
    sim.stop();
    EXPECT_FALSE(sim.isRunning());
}

TEST_F(RunnerTest, SamplesArriveAtTheConfiguredRateAndTheMagnetIsCounted)
{
    VirtualLoggerConfig c = config();
    c.sampleHz = 200;
    c.magnet.revPerSecond = 4;
    VirtualLoggerRunner sim(c);
    std::unique_ptr<InProcessSerialDevice> device(sim.startInProcess());
    Host host(device.get());
    // Like a client, speak only once the device has announced itself (it is deaf while booting).
    ASSERT_TRUE(waitUntil([&] { return host.count(S2C_GetDeviceIdResult, 0) > 0; }, 3000));
    const double before = sim.magnetRevolutions();
    device->write(encodePacket(C2S_WriteTemporary16, 1, QByteArray("\0\0\1\0", 4)));
    ASSERT_TRUE(waitUntil([&] { return host.count(S2C_DataPoints) >= 40; }, 3000));  // 200 samples: ~1 s
    const double after = sim.magnetRevolutions();
    EXPECT_GT(after - before, 3.0);
    EXPECT_LT(after - before, 10.0);
}

TEST_F(RunnerTest, FaultsSpoilTheLineInBothDirections)
{
    VirtualLoggerConfig c = config();
    c.faults.corruptProbability = 1.0;
    VirtualLoggerRunner sim(c);
    std::unique_ptr<InProcessSerialDevice> device(sim.startInProcess());
    Host host(device.get());
    spinFor(700);
    EXPECT_EQ(host.packets.size(), 0u) << "every byte spoiled: nothing valid arrives";
    EXPECT_GT(sim.corruptedBytes(), 0u);

    // Clean again: requests get through and are answered.
    sim.setFaults(LineFaultConfig());
    device->write(encodePacket(C2S_KeepAlive, 9));
    EXPECT_TRUE(waitUntil([&] { return host.count(S2C_KeepAliveAck, 9) == 1; }, 3000));

    // A throttled line: 9600 baud carries at most 960 bytes a second.
    LineFaultConfig slow;
    slow.baudLimit = 9600;
    sim.setFaults(slow);
    device->write(encodePacket(C2S_WriteTemporary16, 10, QByteArray("\0\0\1\0", 4)));  // 400 Hz samples
    const size_t start = host.packets.size();
    spinFor(1000);
    const size_t bytes = (host.packets.size() - start) * 60;
    EXPECT_LE(bytes, 1100u);
    EXPECT_GE(bytes, 300u);
}

TEST_F(RunnerTest, RestartAndGroundTruthFromTheTestThread)
{
    VirtualLoggerRunner sim(config());
    ASSERT_TRUE(sim.startPty());
    sim.restartDevice();
    int restarts = 0;
    sim.withDevice([&](VirtualLogger &d) { restarts = d.restarts(); });
    EXPECT_EQ(restarts, 1);
    const QString dir = QStringLiteral("%1/tw-runner-truth-%2").arg(QDir::tempPath()).arg(::getpid());
    QString error;
    ASSERT_TRUE(sim.writeGroundTruth(dir, &error)) << error.toStdString();
    EXPECT_TRUE(QFile::exists(dir + QStringLiteral("/flash-pages.bin")));
    EXPECT_TRUE(QFile::exists(dir + QStringLiteral("/mcu-flash.bin")));
    QDir(dir).removeRecursively();
}
