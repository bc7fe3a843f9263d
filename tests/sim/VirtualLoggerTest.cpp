// The device logic driven directly with a simulated clock: no threads, no timers.

#include "sim/VirtualLogger.h"
#include "network/Network.h"
#include "network/PacketParser.h"
#include "sim/VirtualBootloader.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <unistd.h>

#include <cstring>
#include <vector>

using namespace Network;

namespace {
constexpr int64_t kMs = 1000000;

struct Received {
    uint16_t type;
    uint16_t requestId;
    QByteArray bytes;
};

// A host on the other end of the line: sends requests, collects what the device says.
class Host
{
public:
    explicit Host(VirtualLoggerConfig config = quietConfig()) : device(config, 0), parser(Direction::ServerToClient)
    {
        parser.setPacketHandler([this](const PacketBase &p, int length) {
            received.push_back({p.type, p.requestId, QByteArray(reinterpret_cast<const char *>(&p), length)});
        });
    }

    static VirtualLoggerConfig quietConfig()
    {
        VirtualLoggerConfig c;
        c.debugMessageIntervalMs = 0;
        c.flash.closedSessions = 0;
        return c;
    }

    void run(int64_t untilNs)
    {
        while (t < untilNs) {
            t = std::min(untilNs, t + kMs);
            device.advance(t);
            collect();
        }
    }
    void sendRaw(const QByteArray &bytes)
    {
        device.receive(bytes, t);
        collect();
    }
    void send(uint16_t type, uint16_t id, const QByteArray &payload = QByteArray())
    {
        sendRaw(encodePacket(type, id, payload));
    }
    // Sends and returns the answer with that request id (or a packet of type 0).
    Received ask(uint16_t type, uint16_t id, const QByteArray &payload = QByteArray())
    {
        received.clear();
        send(type, id, payload);
        run(t + 20 * kMs);
        for (const auto &r : received)
            if (r.requestId == id)
                return r;
        return {0, 0, {}};
    }
    void collect()
    {
        const QByteArray out = device.takeOutput();
        raw += out;
        parser.feed(out);
    }
    int count(uint16_t type) const
    {
        int n = 0;
        for (const auto &r : received)
            n += r.type == type;
        return n;
    }

    VirtualLogger device;
    PacketParser parser;
    std::vector<Received> received;
    QByteArray raw;
    int64_t t = 0;
};

QByteArray u16(uint16_t v)
{
    return QByteArray(reinterpret_cast<const char *>(&v), 2);
}
QByteArray u32(uint32_t v)
{
    return QByteArray(reinterpret_cast<const char *>(&v), 4);
}
template <typename T> T field(const QByteArray &bytes, int offset)
{
    T v{};
    if (offset + int(sizeof v) <= bytes.size())
        std::memcpy(&v, bytes.constData() + offset, sizeof v);
    return v;
}
}  // namespace

TEST(VirtualLogger, AnnouncesItselfWhileNoClientTalks)
{
    VirtualLoggerConfig c = Host::quietConfig();
    c.patchLevel = 4300;
    c.uniqueId = QStringLiteral("0123456789ABCDEF0123456789ABCDEF");  // a full 32 bytes
    Host h(c);
    h.run(40 * kMs);
    EXPECT_EQ(h.count(S2C_GetDeviceIdResult), 0) << "still booting";
    h.run(2000 * kMs);
    EXPECT_EQ(h.count(S2C_GetDeviceIdResult), 4);  // at 50, 550, 1050 and 1550 ms
    QByteArray id;
    for (const auto &r : h.received)
        if (r.type == S2C_GetDeviceIdResult && id.isEmpty())
            id = r.bytes;
    ASSERT_EQ(id.size(), 72);
    EXPECT_TRUE(packetChecksumValid(id.constData(), 72));
    EXPECT_EQ(field<uint16_t>(id, 6), 0);
    EXPECT_EQ(field<uint16_t>(id, 8), uint16_t(ServerType_Kestrelcove));
    EXPECT_EQ(field<uint32_t>(id, 14), 4300u);
    EXPECT_EQ(id.mid(18, 32), c.uniqueId.toLatin1());
    EXPECT_EQ(field<uint16_t>(id, 50), uint16_t(ModelType_Tarrowind3X));
    EXPECT_EQ(id.mid(54, 7), QByteArray("release"));
    EXPECT_EQ(id.mid(61, 11), QByteArray(11, '\0'));
    for (const auto &r : h.received) {
        if (r.type == S2C_GetDeviceIdResult) {
            EXPECT_EQ(r.bytes, id) << "one logger, one identity";
        }
    }

    // The runner sleeps until nextEventNs(): it must always lie ahead, or the thread spins.
    EXPECT_GT(h.device.nextEventNs(), h.t);
    EXPECT_LE(h.device.nextEventNs(), h.t + 500 * kMs);

    // A talking client silences it; 1.5 s of silence brings the announcements back.
    h.received.clear();
    for (int i = 0; i < 5; ++i) {
        h.send(C2S_KeepAlive, uint16_t(100 + i));
        h.run(h.t + 400 * kMs);
    }
    EXPECT_EQ(h.count(S2C_GetDeviceIdResult), 0);
    EXPECT_EQ(h.count(S2C_KeepAliveAck), 5);
    h.run(h.t + 1200 * kMs);
    EXPECT_EQ(h.count(S2C_GetDeviceIdResult), 1);
}

TEST(VirtualLogger, AnswersEveryRequestWithItsResult)
{
    Host h;
    h.run(100 * kMs);
    const QByteArray params = [] {
        QByteArray b(kAlgorithmParametersSize, '\0');
        b[5] = 0x40;
        return b;
    }();
    const struct {
        uint16_t request;
        QByteArray payload;
        uint16_t result;
        int length;
    } cases[] = {
        {C2S_GetDeviceId, {}, S2C_GetDeviceIdResult, 72},
        {C2S_ReadTemporary16, u16(0), S2C_ReadTemporary16Result, 14},
        {C2S_ReadTemporaries16, u16(0) + u16(6), S2C_ReadTemporaries16Result, 24},
        {C2S_WriteTemporary16, u16(1) + u16(3), S2C_WriteTemporary16Result, 12},
        {C2S_ReadPersistent16, u16(2), S2C_ReadPersistent16Result, 14},
        {C2S_ReadPersistents16, u16(0) + u16(16), S2C_ReadPersistents16Result, 44},
        {C2S_WritePersistent16, u16(2) + u16(50), S2C_WritePersistent16Result, 12},
        {C2S_ReadPersistent256, u16(0), S2C_ReadPersistent256Result, 44},
        {C2S_WritePersistent256, u16(1) + QByteArray(32, 'j'), S2C_WritePersistent256Result, 12},
        {C2S_SavePersistents, {}, S2C_SavePersistentsResult, 10},
        {C2S_ReadPermanent16, u16(4), S2C_ReadPermanent16Result, 14},
        {C2S_ReadPermanents16, u16(0) + u16(6), S2C_ReadPermanents16Result, 24},
        {C2S_WritePermanent16, u16(3) + u16(9), S2C_WritePermanent16Result, 12},
        {C2S_ReadPermanent256, u16(0), S2C_ReadPermanent256Result, 44},
        {C2S_WritePermanent256, u16(1) + QByteArray(32, 'p'), S2C_WritePermanent256Result, 12},
        {C2S_SavePermanents, u32(0), S2C_SavePermanentsResult, 10},
        {C2S_DebugFunc, {}, S2C_DebugFuncAck, 8},
        {C2S_LearnAlgorithmParameters, {}, S2C_LearnAlgorithmParametersAck, 8},
        {C2S_KeepAlive, {}, S2C_KeepAliveAck, 8},
        {C2S_GetStats, {}, S2C_GetStatsResult, 116},
        {C2S_PushAlgorithmParameters, params, S2C_PushAlgorithmParametersResult, 10},
        {C2S_PullAlgorithmParameters, u16(0), S2C_PullAlgorithmParametersResult, 138},
        {C2S_SetDateTime, QByteArray(8, '\0'), S2C_SetDateTimeAck, 8},
        {C2S_GetDateTime, {}, S2C_GetDateTimeResult, 16},
        {C2S_FlashGetState, {}, S2C_FlashGetStateResult, 536},
        {C2S_FlashRead528, u32(0), S2C_FlashRead528Result, 542},
        {C2S_FlashCommitNow, {}, S2C_FlashCommitNowAck, 8},
        {C2S_NetworkUartConfig, u32(460800) + u16(0) + QByteArray(1, '\0'), S2C_NetworkUartConfigChange, 16},
    };
    uint16_t id = 1000;
    for (const auto &k : cases) {
        const Received r = h.ask(k.request, ++id, k.payload);
        EXPECT_EQ(r.type, k.result) << packetTypeName(k.request).toStdString();
        EXPECT_EQ(r.bytes.size(), k.length) << packetTypeName(k.request).toStdString();
        EXPECT_EQ(h.device.requestCount(k.request), 1u);
    }
    // The pushed block comes back on a pull; the UART runs at the new rate.
    EXPECT_EQ(h.ask(C2S_PullAlgorithmParameters, 2000, u16(0)).bytes.mid(8), params);
    EXPECT_EQ(h.device.uartBaud(), 460800u);
    // A pull for an algorithm this device lacks says so in its leading field.
    EXPECT_NE(field<uint16_t>(h.ask(C2S_PullAlgorithmParameters, 2001, u16(1)).bytes, 8), 0);
}

TEST(VirtualLogger, VariablesFollowTheirLifetimes)
{
    Host h;
    h.run(100 * kMs);
    auto read16 = [&](uint16_t type, uint16_t name) {
        const Received r = h.ask(type, 7, u16(name));
        EXPECT_EQ(field<uint16_t>(r.bytes, 8), name);
        return std::make_pair(field<uint16_t>(r.bytes, 10), field<uint16_t>(r.bytes, 12));
    };
    const uint16_t jobName = uint16_t(PersistentName256::DeviceName_JobNameString);
    const uint16_t commit = uint16_t(PersistentName16::FlashLogging_CommitMinutes);
    const uint16_t led = uint16_t(TemporaryName16::LedMode_Green);
    const uint16_t defaultLed = read16(C2S_ReadTemporary16, led).second;
    const uint16_t defaultCommit = read16(C2S_ReadPersistent16, commit).second;

    h.ask(C2S_WriteTemporary16, 1, u16(led) + u16(7));
    h.ask(C2S_WritePersistent16, 2, u16(commit) + u16(5));
    h.ask(C2S_WritePersistent256, 3, u16(jobName) + QByteArray("Job 42").leftJustified(32, '\0'));
    EXPECT_EQ(read16(C2S_ReadTemporary16, led), std::make_pair(uint16_t(0), uint16_t(7)));
    EXPECT_EQ(read16(C2S_ReadPersistent16, commit).second, 5);

    // Restart without saving: temporaries back to defaults, persistents back to the store.
    h.ask(C2S_Restart, 4);
    h.run(h.t + 200 * kMs);
    EXPECT_EQ(read16(C2S_ReadTemporary16, led).second, defaultLed);
    EXPECT_EQ(read16(C2S_ReadPersistent16, commit).second, defaultCommit);
    EXPECT_EQ(h.ask(C2S_ReadPersistent256, 5, u16(jobName)).bytes.mid(12, 6), QByteArray(6, '\0'));

    // Saved values survive a restart.
    h.ask(C2S_WritePersistent16, 6, u16(commit) + u16(5));
    h.ask(C2S_WritePersistent256, 7, u16(jobName) + QByteArray("Job 42").leftJustified(32, '\0'));
    EXPECT_EQ(field<uint16_t>(h.ask(C2S_SavePersistents, 8).bytes, 8), 0);
    h.device.restart(h.t);
    h.run(h.t + 200 * kMs);
    EXPECT_EQ(read16(C2S_ReadPersistent16, commit).second, 5);
    EXPECT_EQ(h.ask(C2S_ReadPersistent256, 9, u16(jobName)).bytes.mid(12, 6), QByteArray("Job 42"));

    // Clearing empties the store and what the firmware holds, as the client assumes.
    EXPECT_EQ(field<uint16_t>(h.ask(C2S_ClearPersistents, 10).bytes, 8), 0);
    EXPECT_EQ(read16(C2S_ReadPersistent16, commit).second, 0);
    h.device.restart(h.t);
    h.run(h.t + 200 * kMs);
    EXPECT_EQ(read16(C2S_ReadPersistent16, commit).second, 0);
    EXPECT_EQ(h.ask(C2S_ReadPersistent256, 11, u16(0)).bytes.mid(12, 32), QByteArray(32, '\0'));

    // Permanents carry the serial number and survive everything.
    const QByteArray serial = h.ask(C2S_ReadPermanent256, 12, u16(0)).bytes.mid(12, 32);
    EXPECT_TRUE(serial.startsWith(h.device.serialNumber().toUtf8()));
    EXPECT_EQ(read16(C2S_ReadPermanent16, uint16_t(PermanentName16::ModelType)).second, 1);

    // Names past the device's capacity are errors, and change nothing.
    EXPECT_NE(read16(C2S_ReadTemporary16, 200).first, 0);
    EXPECT_NE(field<uint16_t>(h.ask(C2S_WritePersistent16, 13, u16(128) + u16(1)).bytes, 10), 0);
    EXPECT_NE(field<uint16_t>(h.ask(C2S_ReadPermanent256, 14, u16(4)).bytes, 10), 0);
}

TEST(VirtualLogger, BulkReadsCoverTheNamesTheDeviceHas)
{
    Host h;
    h.run(100 * kMs);
    h.ask(C2S_WritePersistent16, 1, u16(14) + u16(1400));
    h.ask(C2S_WritePersistent16, 2, u16(15) + u16(1500));
    const Received r = h.ask(C2S_ReadPersistents16, 3, u16(14) + u16(4));
    ASSERT_EQ(r.type, S2C_ReadPersistents16Result);
    EXPECT_EQ(field<uint16_t>(r.bytes, 8), 8);  // four values: names 14..17 all exist
    EXPECT_EQ(field<uint16_t>(r.bytes, 10), 14);
    EXPECT_EQ(field<uint16_t>(r.bytes, 12), 1400);
    EXPECT_EQ(field<uint16_t>(r.bytes, 14), 1500);
    // Capped at the capacity (8 permanents).
    const Received p = h.ask(C2S_ReadPermanents16, 4, u16(6) + u16(10));
    EXPECT_EQ(field<uint16_t>(p.bytes, 8), 4);
    EXPECT_EQ(p.bytes.size(), 16);
    const Received none = h.ask(C2S_ReadTemporaries16, 5, u16(300) + u16(2));
    EXPECT_EQ(field<uint16_t>(none.bytes, 8), 0);
    EXPECT_EQ(none.bytes.size(), 12);
}

TEST(VirtualLogger, PatchLevelGatesFeatures)
{
    for (uint32_t level : {4039u, 4040u, 4300u, 4301u}) {
        VirtualLoggerConfig c = Host::quietConfig();
        c.patchLevel = level;
        Host h(c);
        h.run(100 * kMs);
        const bool bulk = h.ask(C2S_ReadTemporaries16, 1, u16(0) + u16(6)).type == S2C_ReadTemporaries16Result;
        EXPECT_EQ(bulk, level >= 4040) << level;
        const Received uart = h.ask(C2S_NetworkUartConfig, 2, u32(921600) + u16(0) + QByteArray(1, '\0'));
        EXPECT_EQ(uart.type == S2C_NetworkUartConfigChange, level > 4300) << level;
        EXPECT_EQ(h.device.uartBaud(), level > 4300 ? 921600u : 115200u);
        // Single reads work everywhere.
        EXPECT_EQ(h.ask(C2S_ReadTemporary16, 3, u16(0)).type, S2C_ReadTemporary16Result);
    }
    // Sector reads: compressed from 4162, page reads above 4251 (the flash side's gates).
    for (uint32_t level : {4161u, 4162u, 4251u, 4252u}) {
        VirtualLoggerConfig c = Host::quietConfig();
        c.patchLevel = level;
        Host h(c);
        h.run(100 * kMs);
        EXPECT_EQ(h.ask(C2S_FlashReadLz528, 1, u32(0)).type == S2C_FlashReadLz528Result, level >= 4162) << level;
        EXPECT_EQ(h.ask(C2S_FlashReadPage, 2, u32(0) + u32(kNoNextPage) + QByteArray(1, '\1')).type ==
                      S2C_FlashReadPageResult,
                  level > 4251)
            << level;
    }
}

TEST(VirtualLogger, UnsupportedBaudKeepsTheCurrentRate)
{
    Host h;
    h.run(100 * kMs);
    const Received r = h.ask(C2S_NetworkUartConfig, 1, u32(12345) + u16(0) + QByteArray(1, '\0'));
    ASSERT_EQ(r.type, S2C_NetworkUartConfigChange);
    EXPECT_EQ(field<uint32_t>(r.bytes, 8), 115200u);
    EXPECT_EQ(h.device.uartBaud(), 115200u);
}

TEST(VirtualLogger, ClockAndStatisticsMove)
{
    VirtualLoggerConfig c = Host::quietConfig();
    c.magnet.revPerSecond = 2.0;
    Host h(c);
    h.run(100 * kMs);
    const int64_t set = 1780000000000000000;
    h.ask(C2S_SetDateTime, 1, QByteArray(reinterpret_cast<const char *>(&set), 8));
    h.run(h.t + 3000 * kMs);
    const int64_t later = field<int64_t>(h.ask(C2S_GetDateTime, 2).bytes, 8);
    EXPECT_NEAR(double(later - set), 3020.0 * kMs, 2.0 * kMs);

    const QByteArray s1 = h.ask(C2S_GetStats, 3).bytes;
    h.run(h.t + 5000 * kMs);
    const QByteArray s2 = h.ask(C2S_GetStats, 4).bytes;
    const uint64_t up1 = field<uint64_t>(s1, 64), up2 = field<uint64_t>(s2, 64);
    EXPECT_NEAR(double(up2 - up1), 5020.0 * kMs, 2.0 * kMs);
    EXPECT_EQ(field<uint64_t>(s2, 72), uint64_t(set)) << "lastClockSyncNanos";
    // The pulse count follows the magnet: 2 rev/s for about 8 s.
    EXPECT_NEAR(double(field<uint32_t>(s2, 36)), 2.0 * double(up2) / 1e9, 1.0);
    EXPECT_GT(field<uint32_t>(s2, 80), field<uint32_t>(s1, 80)) << "packetsUnderstood";
    EXPECT_GT(field<uint16_t>(s2, 106), 3000) << "vbat";
    EXPECT_NEAR(double(field<uint32_t>(s2, 112)), 21500.0, 1000.0) << "temperature";

    // A restart resets the uptime (the client's restart detection relies on it), not the clock.
    h.ask(C2S_Restart, 5);
    h.run(h.t + 100 * kMs);
    const QByteArray s3 = h.ask(C2S_GetStats, 6).bytes;
    EXPECT_LT(field<uint64_t>(s3, 64), 200u * kMs);
    const int64_t afterRestart = field<int64_t>(h.ask(C2S_GetDateTime, 7).bytes, 8);
    EXPECT_GT(afterRestart, later);
}

TEST(VirtualLogger, StreamsSamplesOfTheMagnetWhileEnabled)
{
    VirtualLoggerConfig c = Host::quietConfig();
    c.sampleHz = 400;
    c.magnet.noise = 0;
    Host h(c);
    h.run(100 * kMs);
    h.ask(C2S_WriteTemporary16, 1, u16(0) + u16(1));
    h.received.clear();
    h.run(h.t + 1000 * kMs);
    std::vector<XyzSampleTimestamped> samples;
    for (const auto &r : h.received) {
        if (r.type != S2C_DataPoints)
            continue;
        ASSERT_EQ(r.bytes.size(), 60);
        const int64_t t0 = field<int64_t>(r.bytes, 6);
        for (int k = 0; k < 5; ++k) {
            const uint32_t d = k == 0 ? 1u : field<uint32_t>(r.bytes, 44 + 4 * (k - 1));
            if (!(d & 1u))
                break;
            XyzSampleTimestamped s;
            s.x = field<int16_t>(r.bytes, 14 + 6 * k);
            s.y = field<int16_t>(r.bytes, 16 + 6 * k);
            s.z = field<int16_t>(r.bytes, 18 + 6 * k);
            s.timestamp = t0 + (k == 0 ? 0 : int64_t(d >> 1));
            samples.push_back(s);
        }
    }
    ASSERT_GE(samples.size(), 395u);
    ASSERT_LE(samples.size(), 405u);
    for (size_t i = 1; i < samples.size(); ++i)
        EXPECT_EQ(samples[i].timestamp - samples[i - 1].timestamp, 2500000);
    // The samples are the magnet's field: one revolution per second, radius as modelled.
    for (const auto &s : samples) {
        const double dx = s.x - c.magnet.offsetX, dy = s.y - c.magnet.offsetY, dz = s.z - c.magnet.offsetZ;
        const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
        EXPECT_GE(r, c.magnet.radiusB - 2);
        EXPECT_LE(r, c.magnet.radiusA + 2);
    }
    // Device time: within a few ms of what GetDateTime says now.
    const int64_t now = field<int64_t>(h.ask(C2S_GetDateTime, 2).bytes, 8);
    EXPECT_NEAR(double(now - samples.back().timestamp), 0.0, 30.0 * kMs);

    EXPECT_GT(h.device.nextEventNs(), h.t);
    EXPECT_LE(h.device.nextEventNs(), h.t + 3 * kMs);

    // Off again: the stream stops.
    h.ask(C2S_WriteTemporary16, 3, u16(0) + u16(0));
    h.received.clear();
    h.run(h.t + 500 * kMs);
    EXPECT_EQ(h.count(S2C_DataPoints), 0);

    // A forced rate overrides the configured one.
    h.ask(C2S_WriteTemporary16, 4, u16(uint16_t(TemporaryName16::RawXyzOutput_ForceHz)) + u16(50));
    h.ask(C2S_WriteTemporary16, 5, u16(0) + u16(1));
    h.received.clear();
    h.run(h.t + 1000 * kMs);
    EXPECT_NEAR(h.count(S2C_DataPoints), 10, 1);
}

TEST(VirtualLogger, EntersTheBootloaderAndReturnsOnGo)
{
    Host h;
    h.run(100 * kMs);
    const Received ack = h.ask(C2S_EnterBootloader, 9);
    EXPECT_EQ(ack.type, S2C_EnterBootloaderAck);
    EXPECT_EQ(h.device.mode(), VirtualLogger::Mode::Bootloader);
    h.received.clear();
    h.raw.clear();
    h.run(h.t + 3000 * kMs);
    EXPECT_TRUE(h.raw.isEmpty()) << "the system bootloader never speaks first";
    EXPECT_TRUE(h.device.nextEventNs() < 0 || h.device.nextEventNs() > h.t);

    // AN3155: sync, then Get ID.
    h.sendRaw(QByteArray(1, '\x7f'));
    EXPECT_EQ(h.raw, QByteArray(1, char(VirtualBootloader::kAck)));
    h.raw.clear();
    h.sendRaw(QByteArray("\x02\xfd", 2));
    EXPECT_EQ(h.raw, QByteArray("\x79\x01\x04\x35\x79", 5));
    // A firmware request is just noise to the bootloader.
    h.raw.clear();
    h.sendRaw(encodePacket(C2S_GetDeviceId, 1));
    EXPECT_EQ(h.raw.count(char(0x53)), 0);

    // Go 0x08000000: ACK, then the firmware starts and announces itself again.
    // (the eight bytes were four rejected command pairs, so the bootloader waits for a command)
    h.raw.clear();
    h.sendRaw(QByteArray("\x21\xde", 2));
    h.sendRaw(QByteArray("\x08\x00\x00\x00\x08", 5));
    EXPECT_EQ(h.device.mode(), VirtualLogger::Mode::Firmware);
    EXPECT_TRUE(h.raw.startsWith(QByteArray("\x79\x79", 2)));
    h.received.clear();
    h.run(h.t + 600 * kMs);
    EXPECT_GE(h.count(S2C_GetDeviceIdResult), 1);
    EXPECT_LT(h.device.uptimeNs(h.t), 700 * kMs);
}

TEST(VirtualLogger, NoiseAndDamagedRequestsNeverDisturbIt)
{
    Host h;
    h.run(100 * kMs);
    // Garbage, a request with a wrong checksum, then a good request split across calls.
    QByteArray bad = encodePacket(C2S_GetStats, 5);
    bad[7] = char(bad[7] ^ 0x20);
    h.received.clear();
    h.sendRaw(QByteArray("\x58\x58\x58\x00\xff", 5) + bad);
    const QByteArray good = encodePacket(C2S_ReadPermanent16, 6, u16(5));
    for (char byte : good)
        h.sendRaw(QByteArray(1, byte));
    h.run(h.t + 10 * kMs);
    ASSERT_EQ(h.received.size(), 1u);
    EXPECT_EQ(h.received[0].type, S2C_ReadPermanent16Result);
    EXPECT_EQ(h.received[0].requestId, 6);
    EXPECT_EQ(h.device.requestCount(C2S_GetStats), 0u);
    EXPECT_GE(h.device.badBytesReceived(), 5u);

    // A spoiled byte that reads as the start of a long request holds up the request right
    // behind it only until the line goes quiet, not until 138 more bytes have come.
    h.received.clear();
    h.sendRaw(QByteArray("\x58\x50", 2) + encodePacket(C2S_ReadPermanent16, 8, u16(5)));
    h.run(h.t + 100 * kMs);
    EXPECT_TRUE(std::any_of(h.received.begin(), h.received.end(),
                            [](const Received &r) { return r.type == S2C_ReadPermanent16Result && r.requestId == 8; }));

    // Random bytes, lots of them: no crash, and every answer is a well-formed packet.
    std::mt19937 rng(11);
    for (int i = 0; i < 200; ++i) {
        QByteArray junk(512, '\0');
        for (auto &b : junk)
            b = char(rng() % 3 == 0 ? 'X' : rng());
        h.sendRaw(junk);
        h.run(h.t + 5 * kMs);
    }
    EXPECT_EQ(h.ask(C2S_KeepAlive, 77).type, S2C_KeepAliveAck);
}

TEST(VirtualLogger, RtcCalibrationMakesItDeafForAWhile)
{
    VirtualLoggerConfig c = Host::quietConfig();
    Host h(c);
    h.run(100 * kMs);
    EXPECT_EQ(h.ask(C2S_RtcCalibrate, 1).type, S2C_RtcCalibrateAck);
    EXPECT_EQ(h.ask(C2S_KeepAlive, 2).type, 0) << "busy calibrating";
    h.run(h.t + 1100 * kMs);
    EXPECT_EQ(h.ask(C2S_KeepAlive, 3).type, S2C_KeepAliveAck);
}

TEST(VirtualLogger, GroundTruthDescribesTheDevice)
{
    Host h;
    h.run(100 * kMs);
    h.ask(C2S_GetStats, 1);
    const QString dir = QStringLiteral("%1/sim-truth-%2").arg(QDir::tempPath()).arg(::getpid());
    QString error;
    ASSERT_TRUE(h.device.writeGroundTruth(dir, h.t, &error)) << error.toStdString();
    QFile mcu(dir + QStringLiteral("/mcu-flash.bin"));
    ASSERT_TRUE(mcu.open(QIODevice::ReadOnly));
    EXPECT_EQ(mcu.size(), 256 * 1024);
    QFile json(dir + QStringLiteral("/device.json"));
    ASSERT_TRUE(json.open(QIODevice::ReadOnly));
    const QJsonObject device = QJsonDocument::fromJson(json.readAll()).object();
    EXPECT_EQ(device.value(QStringLiteral("uniqueId")).toString(), h.device.uniqueId());
    EXPECT_EQ(device.value(QStringLiteral("requests")).toObject().value(QStringLiteral("C2S_GetStats")).toInt(), 1);
    EXPECT_TRUE(QFile::exists(dir + QStringLiteral("/sessions.json")));
    EXPECT_TRUE(QFile::exists(dir + QStringLiteral("/state-export.bin")));
    QDir(dir).removeRecursively();
}

TEST(VirtualLogger, LearningRefinesOnlyPushedParameters)
{
    Host h;
    h.run(100 * kMs);
    auto status = [&](uint16_t id) { return field<int32_t>(h.ask(C2S_PullAlgorithmParameters, id, u16(0)).bytes, 98); };
    h.ask(C2S_LearnAlgorithmParameters, 1);
    h.run(h.t + 3500 * kMs);
    EXPECT_EQ(status(2), 0) << "nothing to refine";

    QByteArray block(kAlgorithmParametersSize, '\0');
    block[2] = 1;  // some parameters, status 0
    EXPECT_EQ(field<uint16_t>(h.ask(C2S_PushAlgorithmParameters, 3, block).bytes, 8), 0);
    h.ask(C2S_LearnAlgorithmParameters, 4);
    EXPECT_EQ(status(5), 0) << "still learning";
    h.run(h.t + 3500 * kMs);
    EXPECT_EQ(status(6), 1);
    // A block that is not elliptical is refused and changes nothing.
    block[0] = 1;
    EXPECT_NE(field<uint16_t>(h.ask(C2S_PushAlgorithmParameters, 7, block).bytes, 8), 0);
    EXPECT_EQ(status(8), 1);
}
