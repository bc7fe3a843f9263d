// Geometry, page layout conversions, the record CRC and the state/slot layouts.
#include "FlashImage.h"
#include "MessageCapture.h"
#include "remotefs/DataBlock.h"
#include "remotefs/EccParameters.h"
#include "remotefs/FilesystemState.h"
#include "remotefs/FlashReadResult.h"

#include <gtest/gtest.h>
#include <numeric>

using namespace flashtest;

TEST(FlashGeometry, AddressArithmeticAndWrap)
{
    EXPECT_EQ(Geo::kPageCount, 0x20000u);
    EXPECT_EQ(Geo::kSectorCount, 0x80000u);
    EXPECT_EQ(Geo::pageOfSector(0x7FFFF), 0x1FFFFu);
    EXPECT_EQ(Geo::blockOfSector(256), 1u);
    EXPECT_EQ(Geo::blockOfPage(0x1FFFF), 2047u);
    EXPECT_EQ(Geo::nextSector(0x7FFFF), 0u);
    EXPECT_EQ(Geo::previousSector(0), 0x7FFFFu);
    EXPECT_EQ(Geo::nextPage(0x1FFFF), 0u);
    EXPECT_EQ(Geo::previousPage(0), 0x1FFFFu);
    EXPECT_EQ(Geo::nextBlock(2047), 0u);
    EXPECT_EQ(Geo::previousBlock(0), 2047u);
    EXPECT_EQ(Geo::nextSector(41), 42u);
}

TEST(FlashGeometry, DeviceAndSectorLayoutsMapEveryByte)
{
    // Give every device-layout byte a position-derived value, then check where it ends up.
    std::vector<uint16_t> tagOf(2112);
    std::vector<uint8_t> page(2112);
    for (int i = 0; i < 2112; ++i)
        page[i] = uint8_t(i * 13 + (i >> 8));
    const std::vector<uint8_t> device = page;
    Geo::deviceToSectorLayout(page.data());
    for (int n = 0; n < 4; ++n) {
        for (int j = 0; j < 512; ++j)
            ASSERT_EQ(page[n * 528 + j], device[512 * n + j]) << "sector " << n << " data " << j;
        for (int j = 0; j < 16; ++j)
            ASSERT_EQ(page[n * 528 + 512 + j], device[2048 + 16 * n + j]) << "sector " << n << " spare " << j;
    }
    Geo::sectorToDeviceLayout(page.data());
    EXPECT_EQ(page, device);
}

TEST(FlashReadResultMapping, StatusesAndCombination)
{
    EXPECT_EQ(flashReadResultFromStatus(0), FlashReadResult::Ok);
    EXPECT_EQ(flashReadResultFromStatus(6), FlashReadResult::Corrected);
    EXPECT_EQ(flashReadResultFromStatus(3), FlashReadResult::Unreadable);
    EXPECT_EQ(flashReadResultFromStatus(7), FlashReadResult::CorrectedMany);
    for (uint16_t s : {1, 2, 4, 5, 8, 999})
        EXPECT_EQ(flashReadResultFromStatus(s), FlashReadResult::Failed) << s;
    FlashReadResult all = FlashReadResult::Ok;
    for (FlashReadResult r :
         {FlashReadResult::Ok, FlashReadResult::Unreadable, FlashReadResult::CorrectedMany, FlashReadResult::Ok})
        all = worstOf(all, r);
    EXPECT_EQ(all, FlashReadResult::CorrectedMany);
}

TEST(DataBlockCheck, CrcCoversOverlappingRangesAndLogsMismatch)
{
    auto rec = makeRecord(payloadWithTag(5), 77);
    EXPECT_EQ(DataBlock::recordId(rec.data()), 77u);
    {
        MessageCapture log;
        EXPECT_TRUE(DataBlock::checkCrc(rec.data()));
        EXPECT_TRUE(log.messages().isEmpty());
    }
    // A change in the id bytes (covered twice) and in the payload must both be caught.
    for (int pos : {0, 300, 519, 520, 521, 522, 523}) {
        auto bad = rec;
        bad[pos] ^= 0x10;
        MessageCapture log;
        EXPECT_FALSE(DataBlock::checkCrc(bad.data())) << pos;
        ASSERT_EQ(log.messages().size(), 1);
        const QString line = log.messages().first();
        EXPECT_TRUE(line.startsWith("SpiFlash datablock checksum fail!"));
        EXPECT_TRUE(line.contains(QString::number(DataBlock::storedCrc(bad.data()))));
        const uint32_t expected = crc32Msb(bad.data() + 520, 4, crc32Msb(bad.data(), 522, 0));
        EXPECT_TRUE(line.contains(QString::number(expected))) << line.toStdString();
    }
    std::vector<uint8_t> blank(528, 0xFF);
    EXPECT_TRUE(DataBlock::isBlank(blank.data(), blank.size()));
    blank[527] = 0xFE;
    EXPECT_FALSE(DataBlock::isBlank(blank.data(), blank.size()));
}

TEST(FilesystemStateLayout, FieldsAtTheirOffsets)
{
    StateSpec s;
    s.sequence = 0x0102030405060708ull;
    s.head = 0x12345;
    s.previous = 0x54321;
    s.reserved1 = 7;
    s.reserved2 = 8;
    s.mapA = 9;
    s.mapB = 10;
    s.files[2] = Slot{42, "WaterUse-2024-03-04 with a long name!", 3, true};
    s.files[0] = Slot{41, "a", 1, false};
    const auto bytes = makeState(s);
    const FilesystemState st = FilesystemState::parse(bytes.data());
    EXPECT_TRUE(st.hasValidHeader());
    EXPECT_EQ(st.sequence, s.sequence);
    EXPECT_EQ(st.head, 0x12345u);
    EXPECT_EQ(st.previousRecord, 0x54321u);
    EXPECT_TRUE(st.isReservedBlock(7) && st.isReservedBlock(8) && st.isReservedBlock(9) && st.isReservedBlock(10));
    EXPECT_FALSE(st.isReservedBlock(11));
    EXPECT_EQ(st.files[2].fileId, 42u);
    EXPECT_EQ(st.files[2].fileType, 3u);
    EXPECT_TRUE(st.files[2].inUse());
    EXPECT_FALSE(st.files[0].inUse());
    // 32 bytes without a terminating NUL: the whole field is the name.
    EXPECT_EQ(st.files[2].fileName(), QString("WaterUse-2024-03-04 with a long "));
    EXPECT_EQ(st.files[0].fileName(), QString("a"));
    EXPECT_TRUE(st.isOpen(42));
    EXPECT_FALSE(st.isOpen(41));

    StateSpec old = s;
    old.version = 2;
    EXPECT_FALSE(FilesystemState::parse(makeState(old).data()).hasValidHeader());
}
