#include "network/TarrowindFirmware.h"
#include "MemoryLine.h"
#include "MessageCapture.h"
#include "network/FastLz.h"
#include "network/NetworkMetatypes.h"
#include "ScriptedDevice.h"
#include "sim/FastLzEncoder.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QSignalSpy>

using namespace Network;
using State = TarrowindFirmware::ConnectionState;

namespace {
void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

uint16_t u16At(const QByteArray &b, int offset)
{
    return uint16_t(uint8_t(b[offset]) | uint8_t(b[offset + 1]) << 8);
}

class FirmwareTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        MemoryLine::connectPair(&clientEnd, &deviceEnd);
        device = std::make_unique<ScriptedDevice>(&deviceEnd);
        firmware = std::make_unique<TarrowindFirmware>();
        registerNetworkMetatypes();
    }

    void attach() { firmware->setIoDevice(&clientEnd); }

    void connectReady()
    {
        attach();
        device->announce();
        ASSERT_TRUE(
            waitUntil([&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready; }, 3000));
        settle();
        device->requests.clear();
    }

    // Runs the client's 50 ms tick by hand; the event loop stays idle so the real timer cannot
    // interleave.
    void tick() { QMetaObject::invokeMethod(firmware.get(), "retryTimerTick", Qt::DirectConnection); }

    MessageCapture log;
    MemoryLine clientEnd;
    MemoryLine deviceEnd;
    std::unique_ptr<ScriptedDevice> device;
    std::unique_ptr<TarrowindFirmware> firmware;
};
}  // namespace

TEST_F(FirmwareTest, WithoutDeviceNothingIsSent)
{
    EXPECT_EQ(firmware->sendGetDeviceId(), 0);
    EXPECT_EQ(firmware->sendGetStats(), 0);
    EXPECT_EQ(firmware->sendReadTemporary16(TemporaryName16::LedMode_Green), 0);
    EXPECT_EQ(firmware->sendWritePersistent256(PersistentName256::DeviceName_UserString, uint256_t()), 0);
    EXPECT_EQ(firmware->sendFlashReadPage(5, 1, 0), 0);
    EXPECT_EQ(firmware->sendSetDateTime(), 0);
    EXPECT_EQ(firmware->queueLength(), 0);
    // Only the sector read without caller id takes an id regardless.
    const uint16_t before = firmware->nextRequestId();
    EXPECT_EQ(firmware->sendFlashRead528(uint32_t(7)), 0);
    EXPECT_EQ(firmware->sendReadPersistent16(PersistentName16::Algorithm), 0);
    EXPECT_EQ(firmware->nextRequestId(), before + 2);
}

TEST_F(FirmwareTest, UnconnectedClientTransmitsNothing)
{
    attach();
    EXPECT_EQ(firmware->sendGetDeviceId(), 0);
    EXPECT_EQ(firmware->sendKeepAlive(), 0);
    EXPECT_EQ(clientEnd.bytesWrittenTotal(), 0);
    EXPECT_EQ(firmware->queueLength(), 0);
    // Results other than identity, debug text and flash-create reports are ignored.
    QSignalSpy finished(firmware.get(), &TarrowindFirmware::packetFinished);
    QSignalSpy temps(firmware.get(), &TarrowindFirmware::temporaries16Changed);
    device->send(TestPackets::readResult16(S2C_ReadTemporary16Result, 3, 1, 0, 9));
    settle();
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(temps.count(), 0);
}

TEST_F(FirmwareTest, AnnouncementRunsBatchAndReachesReady)
{
    device->temporaries[1] = 2;
    device->persistents[7] = 30;
    device->permanents[4] = 1;
    device->permanents[5] = 3;
    std::memcpy(device->persistents256[0].bytes, "Basement meter", 14);
    std::memcpy(device->persistents256[1].bytes, "Job 17", 6);
    std::memcpy(device->permanents256[0].bytes, "SN-0042", 7);
    device->clockOffsetMs = -5000;
    device->patchLevel = 4468;
    QSignalSpy states(firmware.get(), &TarrowindFirmware::connectionStateChanged);
    attach();
    device->announce();
    ASSERT_TRUE(
        waitUntil([&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready; }, 3000));

    ASSERT_GE(states.count(), 2);
    EXPECT_EQ(states.at(0).at(0).value<State>(), TarrowindFirmware::ConnectionState_QueryingInfo);
    EXPECT_EQ(states.at(1).at(0).value<State>(), TarrowindFirmware::ConnectionState_Ready);

    const std::vector<uint16_t> batch = {C2S_NetworkUartConfig, C2S_WriteTemporary16,  C2S_WriteTemporary16,
                                         C2S_GetDateTime,       C2S_ReadPermanents16,  C2S_ReadPersistents16,
                                         C2S_ReadTemporaries16, C2S_ReadPersistent256, C2S_ReadPersistent256,
                                         C2S_ReadPermanent256};
    const auto types = device->requestTypes();
    ASSERT_GE(types.size(), batch.size());
    EXPECT_EQ(std::vector<uint16_t>(types.begin(), types.begin() + long(batch.size())), batch);
    // Remote lock off, raw samples on; bulk reads cover every cached name.
    EXPECT_EQ(u16At(device->requests[1].bytes, 8), uint16_t(TemporaryName16::FlashLogging_RemoteLock));
    EXPECT_EQ(u16At(device->requests[1].bytes, 10), 0);
    EXPECT_EQ(u16At(device->requests[2].bytes, 8), uint16_t(TemporaryName16::RawXyzOutput_Enable));
    EXPECT_EQ(u16At(device->requests[2].bytes, 10), 1);
    EXPECT_EQ(u16At(device->requests[5].bytes, 10), 16);

    EXPECT_EQ(firmware->uniqueId(), QStringLiteral("TW3X-000123"));
    EXPECT_EQ(firmware->buildType(), QStringLiteral("release"));
    EXPECT_EQ(firmware->serverType(), ServerType_Kestrelcove);
    EXPECT_EQ(firmware->modelType(), ModelType_Tarrowind3X);
    EXPECT_EQ(firmware->patchLevelVersion(), 4468u);
    EXPECT_EQ(firmware->deviceName(), QStringLiteral("Basement meter"));
    EXPECT_EQ(firmware->qmlToString(firmware->persistents256().at(1).value<uint256_t>()), QStringLiteral("Job 17"));
    EXPECT_EQ(firmware->qmlToString(firmware->permanents256().at(0).value<uint256_t>()), QStringLiteral("SN-0042"));
    EXPECT_EQ(firmware->temporaries16().size(), 6);
    EXPECT_EQ(firmware->persistents16().size(), 16);
    EXPECT_EQ(firmware->permanents16().size(), 6);
    // The batch itself wrote RemoteLock 0 and RawXyzOutput 1 before reading back.
    EXPECT_EQ(firmware->temporaries16().at(0).toInt(), 1);
    EXPECT_EQ(firmware->temporaries16().at(1).toInt(), 2);
    EXPECT_EQ(firmware->persistents16().at(7).toInt(), 30);
    EXPECT_EQ(firmware->permanents16().at(5).toInt(), 3);
    EXPECT_NEAR(double(firmware->skewMs()), -5000.0, 500.0);
    EXPECT_FALSE(firmware->firmwareOutdated());
    EXPECT_TRUE(firmware->queueClear());
}

TEST_F(FirmwareTest, OldFirmwareGetsSingleReadsAndNoBaudChange)
{
    device->patchLevel = 4000;
    connectReady();
    attach();  // drops the connection
    device->requests.clear();
    device->announce();
    ASSERT_TRUE(
        waitUntil([&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready; }, 3000));
    EXPECT_EQ(device->count(C2S_NetworkUartConfig), 0);
    EXPECT_EQ(device->count(C2S_ReadTemporary16), 6);
    EXPECT_EQ(device->count(C2S_ReadPersistent16), 16);
    EXPECT_EQ(device->count(C2S_ReadPermanent16), 6);
    EXPECT_EQ(device->count(C2S_ReadPersistents16), 0);
    EXPECT_EQ(firmware->sendSetNetworkUartBaud(230400), 0);
    // Sector reads: uncompressed below 4162, compressed from 4162.
    settle();
    device->requests.clear();
    EXPECT_NE(firmware->sendFlashRead528(uint32_t(3)), 0);
    settle();
    ASSERT_EQ(device->requests.size(), 1u);
    EXPECT_EQ(device->requests[0].type, C2S_FlashRead528);
}

TEST_F(FirmwareTest, VersionGatesForSectorReadsAndBaud)
{
    device->patchLevel = 4162;
    connectReady();
    EXPECT_EQ(device->count(C2S_NetworkUartConfig), 0);
    EXPECT_EQ(firmware->sendSetNetworkUartBaud(230400), 0);
    EXPECT_NE(firmware->sendFlashRead528(uint16_t(900), uint32_t(3)), 0);
    settle();
    ASSERT_EQ(device->requests.size(), 1u);
    EXPECT_EQ(device->requests[0].type, C2S_FlashReadLz528);
    EXPECT_EQ(device->requests[0].requestId, 900);

    QSignalSpy baud(firmware.get(), &TarrowindFirmware::targetBaudChanged);
    firmware->setTargetBaud(230400);  // 4162 is not above 4300: nothing is sent
    settle();
    EXPECT_EQ(baud.count(), 1);
    EXPECT_EQ(device->count(C2S_NetworkUartConfig), 0);
}

TEST_F(FirmwareTest, DefaultScheduleResendsAndExpires)
{
    connectReady();
    device->answerNothing = true;
    QSignalSpy finished(firmware.get(), &TarrowindFirmware::packetFinished);
    QSignalSpy states(firmware.get(), &TarrowindFirmware::connectionStateChanged);
    const qint64 base = clientEnd.bytesWrittenTotal();
    const uint16_t id = firmware->sendReadTemporary16(TemporaryName16::LedMode_Orange);
    ASSERT_NE(id, 0);
    EXPECT_FALSE(firmware->queueClear());
    std::vector<int> writeTicks;
    int expiredAt = -1;
    for (int t = 1; t <= 45; ++t) {
        const qint64 before = clientEnd.bytesWrittenTotal();
        tick();
        if (clientEnd.bytesWrittenTotal() > before)
            writeTicks.push_back(t);
        if (expiredAt < 0 && !finished.isEmpty())
            expiredAt = t;
    }
    EXPECT_EQ(writeTicks, (std::vector<int>{4, 10, 16, 22, 28, 34}));
    EXPECT_EQ(expiredAt, 40);
    EXPECT_EQ(clientEnd.bytesWrittenTotal() - base, 7 * 10);
    ASSERT_GE(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).value<uint16_t>(), id);
    EXPECT_EQ(finished.at(0).at(1).value<PacketOutcome>(), PacketOutcome_Expired);
    const QString type = QStringLiteral("type:Network::C2S_ReadTemporary16]");
    EXPECT_EQ(log.countStartingWith(QStringLiteral("Resending packet [requestId:%1 ").arg(id) + type), 6);
    EXPECT_TRUE(log.contains(QStringLiteral("Network packet timeout [requestId:%1 ").arg(id) + type));
    // A lost non-polling request drops the connection and forgets the device.
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Unconnected);
    EXPECT_EQ(firmware->uniqueId(), QString());
    EXPECT_EQ(firmware->queueLength(), 0);
}

TEST_F(FirmwareTest, SchedulesOfOtherTypes)
{
    // Expiry tick = first wait + 1 + 6 x resends.
    auto expiry = [](uint16_t type) {
        int wait = 0, resends = 0;
        TarrowindFirmware::retrySchedule(type, &wait, &resends);
        return wait + 1 + 6 * resends;
    };
    EXPECT_EQ(expiry(C2S_GetStats), 40);
    EXPECT_EQ(expiry(C2S_WritePersistent256), 40);
    EXPECT_EQ(expiry(C2S_FlashReadPage), 87);
    EXPECT_EQ(expiry(C2S_FlashReadLz528), 87);
    EXPECT_EQ(expiry(C2S_PullAlgorithmParameters), 79);
    EXPECT_EQ(expiry(C2S_SetDateTime), 51);
    EXPECT_EQ(expiry(C2S_RtcCalibrate), 51);
    EXPECT_EQ(expiry(C2S_SavePersistents), 21);
    EXPECT_EQ(expiry(C2S_KeepAlive), 8);
    EXPECT_EQ(expiry(C2S_EnterBootloader), 4);

    connectReady();
    device->answerNothing = true;
    QSignalSpy finished(firmware.get(), &TarrowindFirmware::packetFinished);
    const uint16_t id = firmware->sendKeepAlive();
    for (int t = 1; t <= 7; ++t)
        tick();
    EXPECT_TRUE(finished.isEmpty());
    tick();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).value<uint16_t>(), id);
}

TEST_F(FirmwareTest, PollingExpiryIsSilentAndLateAnswerStillCounts)
{
    connectReady();
    device->answerNothing = true;
    QSignalSpy finished(firmware.get(), &TarrowindFirmware::packetFinished);
    QSignalSpy stats(firmware.get(), &TarrowindFirmware::statsChanged);
    log.clear();
    const uint16_t id = firmware->sendGetStats();
    ASSERT_NE(id, 0);
    EXPECT_TRUE(firmware->queueClear());
    for (int t = 1; t <= 40; ++t)
        tick();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(1).value<PacketOutcome>(), PacketOutcome_Expired);
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Ready);
    for (const QString &m : log.messages()) {
        EXPECT_FALSE(m.startsWith(QStringLiteral("Resending"))) << m.toStdString();
        EXPECT_FALSE(m.startsWith(QStringLiteral("Network packet timeout"))) << m.toStdString();
    }

    device->uptimeNanos = 99000000000ull;
    device->send(device->statsPacket(id));
    settle();
    ASSERT_EQ(finished.count(), 2);
    EXPECT_EQ(finished.at(1).at(0).value<uint16_t>(), id);
    EXPECT_EQ(finished.at(1).at(1).value<PacketOutcome>(), PacketOutcome_Handled);
    EXPECT_EQ(stats.count(), 1);
    EXPECT_EQ(firmware->stats().value(QStringLiteral("uptimeNanos")).toLongLong(), 99000000000ll);
    EXPECT_EQ(firmware->stats().value(QStringLiteral("pulseCount")).toLongLong(), 4242);
    EXPECT_EQ(firmware->stats().value(QStringLiteral("errorFlags")).toLongLong(), 65538);
    EXPECT_EQ(firmware->stats().size(), 28);
}

TEST_F(FirmwareTest, RequestIdsWrapAndSkipZero)
{
    uint16_t last = 0;
    for (int i = 0; i < 65535; ++i)
        last = firmware->nextRequestId();
    EXPECT_EQ(last, 65535);
    EXPECT_EQ(firmware->nextRequestId(), 1);
    EXPECT_EQ(firmware->nextRequestId(), 2);
}

TEST_F(FirmwareTest, IdentityChangeRestartsQuery)
{
    connectReady();
    QSignalSpy states(firmware.get(), &TarrowindFirmware::connectionStateChanged);
    QSignalSpy ids(firmware.get(), &TarrowindFirmware::getIdInfoChanged);
    device->announce();
    settle();
    EXPECT_EQ(states.count(), 0);
    EXPECT_EQ(ids.count(), 0);
    EXPECT_EQ(device->requests.size(), 0u);

    device->uniqueId = "TW3X-000999";
    device->announce();
    ASSERT_TRUE(waitUntil([&] { return states.count() >= 2; }, 3000));
    EXPECT_EQ(states.at(0).at(0).value<State>(), TarrowindFirmware::ConnectionState_QueryingInfo);
    EXPECT_EQ(states.at(1).at(0).value<State>(), TarrowindFirmware::ConnectionState_Ready);
    EXPECT_EQ(firmware->uniqueId(), QStringLiteral("TW3X-000999"));
    EXPECT_TRUE(log.contains(QStringLiteral("New connection lastId:TW3X-000123newId:TW3X-000999")));
}

TEST_F(FirmwareTest, ClearQueueDuringQueryDropsToUnconnected)
{
    device->answerNothing = true;
    attach();
    device->announce();
    ASSERT_TRUE(waitUntil(
        [&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_QueryingInfo; }, 2000));
    QSignalSpy finished(firmware.get(), &TarrowindFirmware::packetFinished);
    const int queued = firmware->queueLength();
    EXPECT_EQ(queued, 10);
    firmware->clearQueue();
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Unconnected);
    EXPECT_EQ(finished.count(), queued);
    for (const auto &args : finished)
        EXPECT_EQ(args.at(1).value<PacketOutcome>(), PacketOutcome_Cancelled);
    EXPECT_EQ(firmware->queueLength(), 0);
    EXPECT_TRUE(firmware->queueClear());
}

TEST_F(FirmwareTest, AnswersInsideTheWriteCallAreSafe)
{
    clientEnd.setSynchronous(true);
    deviceEnd.setSynchronous(true);
    attach();
    device->announce();
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Ready);
    EXPECT_EQ(firmware->queueLength(), 0);
    // Resends of a never-answered request still run while answers arrive synchronously.
    device->silentTypes.insert(C2S_ReadPersistent16);
    firmware->sendReadPersistent16(PersistentName16::PulseOutput_Divider);
    firmware->sendGetStats();
    for (int t = 0; t < 12; ++t)
        tick();
    EXPECT_EQ(device->count(C2S_ReadPersistent16), 3);
}

TEST_F(FirmwareTest, VariableListWritesSendOnlyChanges)
{
    connectReady();
    QSignalSpy changed(firmware.get(), &TarrowindFirmware::persistents16Changed);
    QVariantList same = firmware->persistents16();
    firmware->setPersistents16(same);
    settle();
    EXPECT_EQ(changed.count(), 0);
    EXPECT_TRUE(device->requests.empty());

    QVariantList twenty;
    for (int i = 0; i < 20; ++i)
        twenty.append(100 + i);
    twenty[3] = QStringLiteral("not a number");
    twenty[5] = firmware->persistents16().at(5);
    firmware->setPersistents16(twenty);
    settle();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(device->count(C2S_WritePersistent16), 14);
    EXPECT_EQ(firmware->persistents16().at(15).toInt(), 115);
    EXPECT_EQ(device->persistents[15], 115);
    EXPECT_EQ(device->persistents[3], 0);

    QSignalSpy temps(firmware.get(), &TarrowindFirmware::temporaries16Changed);
    QVariantList t = firmware->temporaries16();
    t[2] = int(LedMode::SignalStrength);
    firmware->setTemporaries16(t);
    settle();
    EXPECT_EQ(temps.count(), 1);
    EXPECT_EQ(device->temporaries[2], 7);

    QVariantList texts = firmware->persistents256();
    texts[0] = QVariant::fromValue(firmware->qmlToPersistent256(QStringLiteral("Kitchen")));
    texts[1] = 5;  // not a 256-bit value: skipped
    QSignalSpy texts256(firmware.get(), &TarrowindFirmware::persistents256Changed);
    firmware->setPersistents256(texts);
    settle();
    EXPECT_EQ(texts256.count(), 1);
    EXPECT_EQ(device->count(C2S_WritePersistent256), 1);
    EXPECT_EQ(firmware->deviceName(), QStringLiteral("Kitchen"));
}

TEST_F(FirmwareTest, BulkAndSingleReadResultsUpdateCaches)
{
    connectReady();
    QSignalSpy persist(firmware.get(), &TarrowindFirmware::persistents16Changed);
    log.clear();
    device->send(TestPackets::bulkResult(S2C_ReadPersistents16Result, 0, 14, {11, 12, 13, 14}));
    settle();
    EXPECT_EQ(persist.count(), 1);
    EXPECT_EQ(firmware->persistents16().at(14).toInt(), 11);
    EXPECT_EQ(firmware->persistents16().at(15).toInt(), 12);
    EXPECT_EQ(firmware->persistents16().size(), 16);
    const QString bulkText = QStringLiteral("ReadPersistents16Result[first:Network::Deprecated_RtcCalP count:4\n") +
                             QStringLiteral("  Network::Deprecated_RtcCalP:11\n") +
                             QStringLiteral("  Network::FlashLogging_LogDebugSamples:12\n") +
                             QStringLiteral("  Network::PersistentName16Count:13\n") +
                             QStringLiteral("  Network::PersistentName16(17):14\n]");
    EXPECT_TRUE(log.contains(bulkText)) << log.messages().join(QLatin1Char('|')).toStdString();

    // A single read with an error leaves the cache and emits nothing.
    QSignalSpy temps(firmware.get(), &TarrowindFirmware::temporaries16Changed);
    device->send(TestPackets::readResult16(S2C_ReadTemporary16Result, 0, 3, 5, 999));
    settle();
    EXPECT_EQ(temps.count(), 0);
    EXPECT_NE(firmware->temporaries16().at(3).toInt(), 999);
    EXPECT_TRUE(log.contains(QStringLiteral("ReadTemporary16Result[name:Network::DebugKillBits value:999 error:5]")));
    // Out of range but error 0: signal without a store.
    device->send(TestPackets::readResult16(S2C_ReadTemporary16Result, 0, 40, 0, 1));
    settle();
    EXPECT_EQ(temps.count(), 1);

    QSignalSpy p256(firmware.get(), &TarrowindFirmware::persistents256Changed);
    device->send(encodePacket(S2C_ClearPersistentsResult, 0, QByteArray(2, '\0')));
    settle();
    EXPECT_EQ(p256.count(), 1);
    EXPECT_EQ(firmware->persistents16().at(14).toInt(), 0);
    EXPECT_EQ(firmware->deviceName(), QString());
}

TEST_F(FirmwareTest, FirmwareOutdatedOnlyWhenReady)
{
    device->minorVersion = 1;
    device->patchLevel = 4467;
    EXPECT_FALSE(firmware->firmwareOutdated());
    connectReady();
    EXPECT_TRUE(firmware->firmwareOutdated());

    attach();
    EXPECT_FALSE(firmware->firmwareOutdated());
    device->minorVersion = 0;
    device->patchLevel = 5000;
    device->announce();
    ASSERT_TRUE(
        waitUntil([&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready; }, 3000));
    EXPECT_TRUE(firmware->firmwareOutdated());

    attach();
    device->minorVersion = 1;
    device->majorVersion = 0;
    device->patchLevel = 4468;
    device->announce();
    ASSERT_TRUE(
        waitUntil([&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready; }, 3000));
    EXPECT_FALSE(firmware->firmwareOutdated());
}

TEST_F(FirmwareTest, FlashReadsDecodeStatusesAndCompression)
{
    connectReady();
    QSignalSpy pages(firmware.get(), &TarrowindFirmware::recvFlashReadPageResult);
    QSignalSpy sectors(firmware.get(), &TarrowindFirmware::recvFlashRead528Result);
    QSignalSpy finished(firmware.get(), &TarrowindFirmware::packetFinished);
    log.clear();

    device->send(TestPackets::flashPageResult(500, 77, ReadStatus::HwFailure, 0, QByteArray()));
    settle();
    ASSERT_EQ(pages.count(), 1);
    EXPECT_EQ(pages.at(0).at(1).value<uint32_t>(), 77u);
    EXPECT_EQ(pages.at(0).at(2).value<ReadStatus>(), ReadStatus::HwFailure);
    EXPECT_EQ(pages.at(0).at(3).toByteArray(), QByteArray(2112, char(0xFF)));
    EXPECT_TRUE(log.contains(
        QStringLiteral("S2C_FlashReadPageResult[pageIndex:77, status:Network::HwFailure, compression:0, dataSize:0]")));

    device->send(TestPackets::flashPageResult(501, 78, ReadStatus::Ok, 0, QByteArray(2000, 'a')));
    settle();
    EXPECT_EQ(pages.count(), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("S2C_FlashReadPageResult wrong data size!")));
    ASSERT_EQ(finished.count(), 2);
    EXPECT_EQ(finished.at(1).at(0).value<uint16_t>(), 501);
    EXPECT_EQ(finished.at(1).at(1).value<PacketOutcome>(), PacketOutcome_Errored);

    QByteArray page(2112, '\0');
    for (int i = 0; i < page.size(); ++i)
        page[i] = char((i * 7) % 13);
    QByteArray block(FastLz::maxCompressedSize(page.size()), '\0');
    block.truncate(FastLz::compress(2, page.constData(), page.size(), block.data()));
    device->send(TestPackets::flashPageResult(502, 79, ReadStatus::EccCorrected, 2, block));
    settle();
    ASSERT_EQ(pages.count(), 2);
    EXPECT_EQ(pages.at(1).at(3).toByteArray(), page);

    // Compressed to the wrong size (a sector where a page is expected).
    QByteArray small(FastLz::maxCompressedSize(528), '\0');
    small.truncate(FastLz::compress(1, page.constData(), 528, small.data()));
    device->send(TestPackets::flashPageResult(503, 80, ReadStatus::Ok, 1, small));
    device->send(TestPackets::flashLz528Result(504, 12, ReadStatus::Ok, 1, small));
    device->send(TestPackets::flashLz528Result(505, 13, ReadStatus::Ok, 1, small.left(small.size() - 3)));
    settle();
    EXPECT_TRUE(log.contains(QStringLiteral("S2C_FlashReadPageResult decompression failure!")));
    EXPECT_TRUE(log.contains(QStringLiteral("S2C_FlashReadLz528Result decompression failure!")));
    ASSERT_EQ(sectors.count(), 1);
    EXPECT_EQ(sectors.at(0).at(0).value<uint16_t>(), 504);
    EXPECT_EQ(sectors.at(0).at(1).value<uint32_t>(), 12u);
    EXPECT_EQ(sectors.at(0).at(3).toByteArray(), page.left(528));
    EXPECT_EQ(finished.last().at(1).value<PacketOutcome>(), PacketOutcome_Errored);
}

TEST_F(FirmwareTest, SamplesFollowDescriptors)
{
    connectReady();
    QSignalSpy samples(firmware.get(), &TarrowindFirmware::sampleAvailable);
    device->send(TestPackets::dataPoints(1000, {0, 3, 5, 7}));
    settle();
    EXPECT_EQ(samples.count(), 1);
    device->send(TestPackets::dataPoints(1000000, {2 * 400 + 1, 2 * 800 + 1, 0, 2 * 1600 + 1}));
    settle();
    ASSERT_EQ(samples.count(), 4);
    const auto s1 = samples.at(2).at(0).value<XyzSampleTimestamped>();
    // Copies: the sample is packed, so its fields cannot bind to references.
    const int64_t t1 = s1.timestamp;
    const int16_t x1 = s1.x, y1 = s1.y;
    const int64_t t2 = samples.at(3).at(0).value<XyzSampleTimestamped>().timestamp;
    EXPECT_EQ(t1, 1000400);
    EXPECT_EQ(x1, 11);
    EXPECT_EQ(y1, -12);
    EXPECT_EQ(t2, 1000800);
}

TEST_F(FirmwareTest, DeviceRestartAndAcknowledgementsDropConnection)
{
    connectReady();
    device->uptimeNanos = 5000000000ull;
    device->send(device->statsPacket(0));
    settle();
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Ready);
    device->uptimeNanos = 10;
    device->send(device->statsPacket(0));
    settle();
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Unconnected);
    EXPECT_EQ(firmware->stats().value(QStringLiteral("uptimeNanos")).toLongLong(), 10);

    device->uptimeNanos = 1000000000ull;
    device->uniqueId = "again";
    device->announce();
    ASSERT_TRUE(
        waitUntil([&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready; }, 3000));
    QSignalSpy finished(firmware.get(), &TarrowindFirmware::packetFinished);
    const uint16_t id = firmware->sendRtcCalibrate();
    ASSERT_NE(id, 0);
    ASSERT_TRUE(
        waitUntil([&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Unconnected; }, 2000));
    // The answered request is reported once, as handled.
    settle();
    int reports = 0;
    for (const auto &args : finished) {
        if (args.at(0).value<uint16_t>() == id) {
            ++reports;
            EXPECT_EQ(args.at(1).value<PacketOutcome>(), PacketOutcome_Handled);
        }
    }
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(log.contains(QStringLiteral("RtcCalibrateAck")));
}

TEST_F(FirmwareTest, EnterBootloaderReleasesDevice)
{
    connectReady();
    QSignalSpy finished(firmware.get(), &TarrowindFirmware::packetFinished);
    QSignalSpy devices(firmware.get(), &TarrowindFirmware::ioDeviceChanged);
    const uint16_t id = firmware->sendEnterBootloader();
    ASSERT_NE(id, 0);
    EXPECT_EQ(firmware->ioDevice(), nullptr);
    EXPECT_EQ(devices.count(), 1);
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Unconnected);
    ASSERT_GE(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).value<uint16_t>(), id);
    EXPECT_EQ(finished.at(0).at(1).value<PacketOutcome>(), PacketOutcome_Cancelled);
    EXPECT_TRUE(log.contains(QStringLiteral("TarrowindFirmware::sendEnterBootloader()")));
    EXPECT_TRUE(clientEnd.writtenLog().endsWith(encodePacket(C2S_EnterBootloader, id)));
    // Later bytes from the old device are not read.
    device->announce();
    settle();
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Unconnected);
}

TEST_F(FirmwareTest, ClosedDeviceIsRefused)
{
    MemoryLine closed;
    closed.close();
    firmware->setIoDevice(&closed);
    EXPECT_EQ(firmware->ioDevice(), nullptr);
    EXPECT_TRUE(log.contains(QStringLiteral("IODevice is not open, using null instead")));
}

TEST_F(FirmwareTest, TextConversionsAndForgetting)
{
    const QString forty = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzABCD");
    const uint256_t v = firmware->qmlToPersistent256(forty);
    EXPECT_EQ(firmware->qmlToString(v), forty.left(32));
    EXPECT_EQ(firmware->qmlToString(firmware->qmlToPersistent256(QStringLiteral("äb"))), QStringLiteral("äb"));

    connectReady();
    std::memcpy(device->persistents256[0].bytes, "x", 1);
    firmware->clearRemoteKnowledge();
    EXPECT_EQ(firmware->uniqueId(), QString());
    EXPECT_EQ(firmware->buildType(), QString());
    EXPECT_EQ(firmware->deviceName(), QString());
    EXPECT_EQ(firmware->dateTime().toMSecsSinceEpoch(), 0);
    EXPECT_EQ(firmware->skewMs(), 0);
    for (const QVariant &v16 : firmware->persistents16())
        EXPECT_EQ(v16.toInt(), 0);
}

TEST_F(FirmwareTest, LogTextsOfUnsolicitedPackets)
{
    connectReady();
    log.clear();
    QSignalSpy progress(firmware.get(), &TarrowindFirmware::recvFlashCreateProgress);
    device->send(encodePacketWithoutId(S2C_DebugMessage, QByteArray::fromHex("0600") + "hello\n"));
    device->send(encodePacketWithoutId(S2C_FlashCreateProgress, QByteArray::fromHex("ff7f")));
    device->send(encodePacket(S2C_NetworkUartConfigChange, 0, QByteArray::fromHex("00c2010000000000")));
    device->send(encodePacket(S2C_FlashCreateResult, 0, QByteArray::fromHex("0200")));
    settle();
    EXPECT_TRUE(log.contains(QStringLiteral("DebugMessage[message:hello]")));
    EXPECT_TRUE(log.contains(QStringLiteral("FlashCreateProgress[progress:0.49999237048905165]")))
        << log.messages().join(QLatin1Char('|')).toStdString();
    ASSERT_EQ(progress.count(), 1);
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toDouble(), 32767 / 65535.0);
    EXPECT_TRUE(log.contains(QStringLiteral("S2C_NetworkUartConfigChange[baudRate:115200]")));
    EXPECT_TRUE(log.contains(QStringLiteral("FlashCreateResult[createStatus:2]")));
}

TEST_F(FirmwareTest, BadDataIsReportedOnTheRetryTick)
{
    connectReady();
    log.clear();
    device->send(QByteArray::fromHex("00112233445566778899aabbccddeeff0102"));
    settle();
    tick();
    tick();
    tick();
    EXPECT_EQ(log.countStartingWith(QStringLiteral("Bad data (No header found)")), 1);
    // The last byte waits for a partner: a pass needs two unread bytes.
    EXPECT_TRUE(
        log.contains(QStringLiteral("Bad data (No header found)\n  00112233 44556677 8899aabb ccddeeff \n  01 ")))
        << log.messages().join(QLatin1Char('|')).toStdString();
}

// Real timers: polling every second while Ready, and the 4200 ms silence rule.
TEST_F(FirmwareTest, KeepAliveThenSilenceDropsConnection)
{
    connectReady();
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(waitUntil([&] { return device->count(C2S_GetDateTime) >= 2; }, 3500));
    EXPECT_GE(device->count(C2S_GetDeviceId), 2);
    EXPECT_GE(device->count(C2S_GetStats), 2);
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Ready);

    device->answerNothing = true;
    t.restart();
    ASSERT_TRUE(
        waitUntil([&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Unconnected; }, 7000));
    EXPECT_GT(t.elapsed(), 4000);
    EXPECT_LT(t.elapsed(), 6500);
    // Only polling requests were lost: no timeout lines.
    EXPECT_EQ(log.countStartingWith(QStringLiteral("Network packet timeout")), 0);
}

TEST_F(FirmwareTest, ReadyOnlyOperationsAndPacketImages)
{
    attach();
    device->answerNothing = true;
    device->announce();
    ASSERT_TRUE(waitUntil(
        [&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_QueryingInfo; }, 2000));
    EXPECT_EQ(firmware->sendSetDateTime(), 0);
    EXPECT_EQ(firmware->sendRtcCalibrate(), 0);
    EXPECT_EQ(firmware->sendFlashCreate(), 0);
    EXPECT_EQ(firmware->sendPushAlgorithmParameters(QByteArray(138, '\0')), 0);
    firmware->setIoDevice(nullptr);

    device->answerNothing = false;
    connectReady();
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const uint16_t id = firmware->sendSetDateTime();
    ASSERT_NE(id, 0);
    // The image is taken whole except for checksum and id; a short image is refused.
    QByteArray image(140, '\0');
    image[0] = char(0x58);
    image[1] = char(0x50);
    for (int i = 8; i < 138; ++i)
        image[i] = char(i);
    const uint16_t pushId = firmware->sendPushAlgorithmParameters(image);
    ASSERT_NE(pushId, 0);
    EXPECT_EQ(firmware->sendPushAlgorithmParameters(image.left(137)), 0);
    firmware->setTargetBaud(230400);
    settle();
    ASSERT_EQ(device->requests.size(), 3u);
    const QByteArray set = device->requests[0].bytes;
    int64_t ns;
    std::memcpy(&ns, set.constData() + 8, 8);
    EXPECT_GE(ns / 1000000, before + 30);
    EXPECT_LE(ns / 1000000, before + 30 + 1000);
    const QByteArray push = device->requests[1].bytes;
    EXPECT_EQ(push.size(), 138);
    EXPECT_EQ(push.mid(8), image.mid(8, 130));
    EXPECT_EQ(device->requests[1].requestId, pushId);
    EXPECT_EQ(device->requests[2].type, C2S_NetworkUartConfig);
    EXPECT_EQ(u16At(device->requests[2].bytes, 8), uint16_t(230400 & 0xFFFF));
}

TEST_F(FirmwareTest, KeepAliveCanBeSwitchedOff)
{
    connectReady();
    QSignalSpy toggled(firmware.get(), &TarrowindFirmware::keepAliveEnabledChanged);
    firmware->setKeepAliveEnabled(false);
    firmware->setKeepAliveEnabled(false);
    EXPECT_EQ(toggled.count(), 1);
    device->requests.clear();
    spinFor(1300);
    EXPECT_EQ(device->count(C2S_GetDeviceId), 0);
    EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Ready);
}

// The screens drive the client from QML: enum-typed arguments arrive as numbers, lists and
// 256-bit values travel as QVariants.
TEST_F(FirmwareTest, UsableFromQml)
{
    std::memcpy(device->persistents256[0].bytes, "Cellar", 6);
    connectReady();
    QQmlEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("fw"), firmware.get());
    auto eval = [&](const QString &expression) {
        QQmlExpression e(engine.rootContext(), nullptr, expression);
        const QVariant v = e.evaluate();
        EXPECT_FALSE(e.hasError()) << expression.toStdString() << ": " << e.error().toString().toStdString();
        return v;
    };
    EXPECT_EQ(eval(QStringLiteral("fw.qmlToString(fw.persistents256[0])")).toString(), QStringLiteral("Cellar"));
    EXPECT_EQ(eval(QStringLiteral("fw.deviceName")).toString(), QStringLiteral("Cellar"));
    EXPECT_EQ(eval(QStringLiteral("fw.connectionState")).toInt(), int(TarrowindFirmware::ConnectionState_Ready));
    EXPECT_EQ(eval(QStringLiteral("fw.patchLevelVersion")).toInt(), 4468);
    EXPECT_EQ(eval(QStringLiteral("fw.stats.pulseCount === undefined ? -1 : 0")).toInt(), 0);
    const uint16_t id = uint16_t(eval(QStringLiteral("fw.sendReadTemporary16(2)")).toUInt());
    EXPECT_NE(id, 0);
    eval(QStringLiteral("fw.persistents256 = [fw.qmlToPersistent256('Loft'), fw.persistents256[1]]"));
    eval(QStringLiteral("var t = fw.temporaries16; t[4] = 1; fw.temporaries16 = t"));
    settle();
    ASSERT_EQ(device->requests.size(), 3u);
    EXPECT_EQ(device->requests[0].type, C2S_ReadTemporary16);
    EXPECT_EQ(u16At(device->requests[0].bytes, 8), 2);
    EXPECT_EQ(device->requests[1].type, C2S_WritePersistent256);
    EXPECT_EQ(device->requests[2].type, C2S_WriteTemporary16);
    EXPECT_EQ(firmware->deviceName(), QStringLiteral("Loft"));
}

// However the connection ends while the query batch is outstanding (a batch request expires,
// or an acknowledgement ends it), listeners hear Unconnected once: cancelling the rest of the
// batch must not announce it a second time.
TEST_F(FirmwareTest, DropDuringQueryBatchIsAnnouncedOnce)
{
    device->answerNothing = true;
    attach();
    QSignalSpy states(firmware.get(), &TarrowindFirmware::connectionStateChanged);
    auto unconnectedAnnouncements = [&] {
        int n = 0;
        for (const auto &args : states)
            n += args.at(0).value<State>() == TarrowindFirmware::ConnectionState_Unconnected;
        return n;
    };
    for (const char *how : {"expiry", "acknowledgement"}) {
        SCOPED_TRACE(how);
        states.clear();
        device->announce();
        ASSERT_TRUE(waitUntil(
            [&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_QueryingInfo; }, 2000));
        ASSERT_EQ(firmware->queueLength(), 10);
        if (std::strcmp(how, "expiry") == 0) {
            for (int t = 0; t < 40; ++t)
                tick();
        } else {
            device->send(encodePacket(S2C_RtcCalibrateAck, 0));
            ASSERT_TRUE(waitUntil(
                [&] { return firmware->connectionState() == TarrowindFirmware::ConnectionState_Unconnected; }, 2000));
        }
        settle();
        EXPECT_EQ(firmware->connectionState(), TarrowindFirmware::ConnectionState_Unconnected);
        EXPECT_EQ(unconnectedAnnouncements(), 1);
        EXPECT_EQ(firmware->queueLength(), 0);
    }
}
