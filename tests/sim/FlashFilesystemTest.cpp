// The NAND model and the filesystem writer, checked with a CRC and a state-chain walk written
// here from the flash layout.
#include "sim/FlashFilesystemWriter.h"
#include "sim/VirtualFlash.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

// CRC-32, polynomial 0x04C11DB7, MSB first, bit by bit.
uint32_t crcBitwise(const uint8_t *data, size_t n, uint32_t crc)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint32_t(data[i]) << 24;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

uint32_t u32(const QByteArray &b, int at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(uint8_t(b[at + i])) << (8 * i);
    return v;
}

uint64_t u64(const QByteArray &b, int at)
{
    return uint64_t(u32(b, at)) | (uint64_t(u32(b, at + 4)) << 32);
}

bool recordValid(const QByteArray &r)
{
    const auto *p = reinterpret_cast<const uint8_t *>(r.constData());
    const uint32_t crc = crcBitwise(p + 520, 4, crcBitwise(p, 522, 0));
    return crc == u32(r, 524);
}

QByteArray payload(uint32_t tag)
{
    QByteArray p(520, char(tag & 0x7F));
    p[0] = char(tag);
    p[1] = char(tag >> 8);
    return p;
}

struct Slot {
    uint32_t id = 0;
    bool used = false;
    QString name;
    uint32_t type = 0;
};

struct State {
    bool ok = false;
    uint64_t seq = 0;
    uint32_t head = 0, prev = 0;
    uint32_t reserved[4] = {};
    Slot slots[4];
};

State parseState(const QByteArray &s)
{
    State st;
    if (s.size() < 246 || u32(s, 0) != 0xDA8B9265u || (uint8_t(s[4]) | (uint8_t(s[5]) << 8)) != 1)
        return st;
    st.ok = true;
    st.seq = u64(s, 6);
    st.head = u32(s, 18);
    for (int i = 0; i < 4; ++i)
        st.reserved[i] = u32(s, 22 + 4 * i);
    st.prev = u32(s, 50);
    for (int i = 0; i < 4; ++i) {
        const int at = 54 + 48 * i;
        st.slots[i].id = u32(s, at);
        st.slots[i].name = QString::fromUtf8(s.mid(at + 4, 32).constData());
        st.slots[i].type = u32(s, at + 36);
        st.slots[i].used = (uint8_t(s[at + 44]) & 1) != 0;
    }
    return st;
}

struct Found {
    uint32_t start = 0xFFFFFFFF, end = 0;
    bool published = false;
};

// The host's walk over the state chain: which closed files it finds, with their ranges.
std::map<uint32_t, Found> walkChain(const VirtualFlash &flash, const QByteArray &exportBytes, int *links)
{
    std::map<uint32_t, Found> files;
    const State current = parseState(exportBytes.mid(4));
    *links = 0;
    if (!current.ok)
        return files;
    std::set<uint32_t> openNow;
    for (const Slot &s : current.slots) {
        if (s.used) {
            openNow.insert(s.id);
            files[s.id].end = current.head;
        }
    }
    State S = current;
    while (S.prev != 0) {
        const QByteArray rec = flash.sector(S.prev);
        if (rec.count(char(0xFF)) == 528 || !recordValid(rec))
            break;
        const State B = parseState(rec.left(520));
        if (!B.ok || B.seq >= S.seq)
            break;
        ++*links;
        for (int i = 0; i < 4; ++i) {
            const Slot &s = S.slots[i];
            const Slot &b = B.slots[i];
            if (s.used && b.used && s.id == b.id)
                continue;
            if (s.used && !openNow.count(s.id) && files.count(s.id)) {
                files[s.id].start = S.head;
                files[s.id].published = true;
            }
            if (b.used && !openNow.count(b.id))
                files[b.id].end = S.head;
        }
        S = B;
    }
    for (const Slot &s : S.slots) {
        if (s.used && !openNow.count(s.id) && files.count(s.id)) {
            files[s.id].start = S.head;
            files[s.id].published = true;
        }
    }
    for (uint32_t id : openNow)
        files.erase(id);
    return files;
}

// Writes `count` closed files of `records` records each plus one open file, alternating the two
// ways of moving to the next file and committing now and then.
void writeFiles(FlashFilesystemWriter &w, int count, int records)
{
    uint32_t prev = 0;
    for (int f = 0; f <= count; ++f) {
        const QString name = QStringLiteral("file%1").arg(f);
        uint32_t id = 0;
        if (prev == 0)
            id = w.openFile(name);
        else if (f % 2)
            id = w.closeAndOpen(prev, name);
        else if (w.closeFile(prev))
            id = w.openFile(name, 7);
        ASSERT_NE(id, 0u);
        for (int r = 0; r < records; ++r) {
            ASSERT_NE(w.appendRecord(id, payload(id * 1000 + uint32_t(r))), FlashFilesystemWriter::kNoSector);
            if (r % 10 == 9) {
                ASSERT_TRUE(w.commit());
            }
        }
        prev = id;
    }
}

}  // namespace

TEST(VirtualFlash, ErasedProgrammedAndSectorLayout)
{
    VirtualFlash f;
    EXPECT_EQ(f.page(5), QByteArray(2112, char(0xFF)));
    EXPECT_TRUE(f.page(VirtualFlash::kPageCount).isEmpty());
    EXPECT_TRUE(f.sector(VirtualFlash::kSectorCount).isEmpty());
    EXPECT_FALSE(f.programSector(VirtualFlash::kSectorCount, QByteArray(528, 0)));
    EXPECT_FALSE(f.programSector(4, QByteArray(527, 0)));
    EXPECT_FALSE(f.programPage(1, QByteArray(2048, 0)));
    EXPECT_FALSE(f.eraseBlock(2048));

    // Sector 2 of page 10: data bytes 1024..1535 and spare bytes 2080..2095.
    QByteArray sector(528, '\0');
    for (int i = 0; i < 528; ++i)
        sector[i] = char(i * 7);
    ASSERT_TRUE(f.programSector(10 * 4 + 2, sector));
    const QByteArray page = f.page(10);
    EXPECT_EQ(page.mid(1024, 512), sector.left(512));
    EXPECT_EQ(page.mid(2080, 16), sector.mid(512));
    EXPECT_EQ(page.left(1024), QByteArray(1024, char(0xFF)));
    EXPECT_EQ(f.sector(42), sector);
    EXPECT_EQ(VirtualFlash::toSectorLayout(page).mid(2 * 528, 528), sector);
    EXPECT_EQ(VirtualFlash::toDeviceLayout(VirtualFlash::toSectorLayout(page)), page);
    EXPECT_TRUE(VirtualFlash::toSectorLayout(QByteArray(100, 0)).isEmpty());

    // Programming only clears bits.
    ASSERT_TRUE(f.programSector(42, QByteArray(528, char(0x0F))));
    EXPECT_EQ(uint8_t(f.sector(42)[1]), uint8_t(7 & 0x0F));
    // A raw overwrite stores bytes as they are.
    ASSERT_TRUE(f.overwriteSector(42, QByteArray(528, char(0xA5))));
    EXPECT_EQ(f.sector(42), QByteArray(528, char(0xA5)));

    ASSERT_TRUE(f.programPage(64 * 3 + 1, QByteArray(2112, char(0xFF))));  // stays erased
    ASSERT_TRUE(f.programPage(64 * 3 + 2, QByteArray(2112, '\0')));
    EXPECT_EQ(f.programmedPages(), (std::vector<uint32_t>{10, 64 * 3 + 2}));

    f.setPageStatus(64 * 3 + 2, VirtualFlash::PageStatus::ReadFailure);
    ASSERT_TRUE(f.eraseBlock(3));
    EXPECT_TRUE(f.isErased(64 * 3 + 2));
    EXPECT_EQ(f.pageStatus(64 * 3 + 2), VirtualFlash::PageStatus::ReadFailure);  // the cells stay weak
    EXPECT_EQ(f.programmedPages(), (std::vector<uint32_t>{10}));
}

TEST(FlashFilesystemWriter, RecordsCarryTheirFileIdAndAValidCrc)
{
    VirtualFlash flash;
    FlashFilesystemWriter w(&flash);
    ASSERT_TRUE(w.format());
    writeFiles(w, 5, 37);
    int records = 0;
    for (const auto &f : w.files()) {
        ASSERT_EQ(f.recordSectors.size(), f.payloads.size());
        for (size_t i = 0; i < f.recordSectors.size(); ++i) {
            const QByteArray r = flash.sector(f.recordSectors[i]);
            EXPECT_TRUE(recordValid(r));
            EXPECT_EQ(u32(r, 520), f.id);
            EXPECT_EQ(r.left(520), f.payloads[i]);
            ++records;
        }
    }
    EXPECT_EQ(records, 6 * 37);
    for (const auto &s : w.stateRecords()) {
        const QByteArray r = flash.sector(s.sector);
        EXPECT_TRUE(recordValid(r));
        EXPECT_EQ(u32(r, 520), FlashFilesystemWriter::kStateRecordId);
    }
    // The writer's own check agrees, and notices a single flipped bit.
    QByteArray r = flash.sector(w.files()[2].recordSectors[3]);
    EXPECT_TRUE(FlashFilesystemWriter::recordCrcValid(r));
    r[100] = char(r[100] ^ 0x10);
    EXPECT_FALSE(FlashFilesystemWriter::recordCrcValid(r));
    EXPECT_FALSE(recordValid(r));
}

TEST(FlashFilesystemWriter, FillLevelIsOnTheStatisticsScale)
{
    VirtualFlash flash;
    FlashFilesystemWriter w(&flash);
    ASSERT_TRUE(w.format());
    EXPECT_EQ(w.percentUsed(), 0);
    writeFiles(w, 5, 37);
    // Every record and checkpoint takes one sector of the stream outside the four reserved blocks;
    // the statistics carry the share as 0..65535 for 0..100 %.
    const uint64_t used = 6 * 37 + w.stateRecords().size() - 1;
    const uint64_t usable = uint64_t(VirtualFlash::kBlockCount - 4) * VirtualFlash::kSectorsPerBlock;
    EXPECT_EQ(w.usableSectors(), usable);
    EXPECT_NEAR(w.percentUsed(), double(used) * 65535 / double(usable), 2.0);
    EXPECT_GT(w.percentUsed(), 10);
}

TEST(FlashFilesystemWriter, StateChainLeadsToEveryClosedFile)
{
    VirtualFlash flash;
    FlashFilesystemWriter w(&flash);
    ASSERT_TRUE(w.format());
    writeFiles(w, 6, 23);

    const QByteArray ex = w.stateExport();
    ASSERT_EQ(ex.size(), 528);
    EXPECT_EQ(u32(ex, 0), 1u);
    EXPECT_EQ(ex.mid(4, 246), w.liveState());
    const State live = parseState(ex.mid(4));
    ASSERT_TRUE(live.ok);
    EXPECT_EQ(live.head, w.head());
    EXPECT_EQ(live.prev, w.lastStateSector());
    EXPECT_EQ(live.seq, w.stateRecords().back().sequence + 1);
    EXPECT_EQ(live.reserved[0], 0u);
    EXPECT_EQ(live.reserved[3], 3u);

    int links = 0;
    const auto found = walkChain(flash, ex, &links);
    EXPECT_EQ(links, int(w.stateRecords().size()));
    int closed = 0;
    for (const auto &f : w.files()) {
        if (f.open) {
            EXPECT_EQ(found.count(f.id), 0u);
            continue;
        }
        ++closed;
        ASSERT_EQ(found.count(f.id), 1u) << f.id;
        EXPECT_TRUE(found.at(f.id).published);
        EXPECT_EQ(found.at(f.id).start, f.startSector);
        EXPECT_EQ(found.at(f.id).end, f.endSector);
        for (uint32_t s : f.recordSectors) {
            EXPECT_GT(s, f.startSector);
            EXPECT_LT(s, f.endSector);
        }
    }
    EXPECT_EQ(closed, 6);
    EXPECT_EQ(found.size(), 6u);

    // The slots rotate, and a file's type and name are in its slot.
    std::set<int> slotsUsed;
    for (const auto &f : w.files())
        slotsUsed.insert(f.slot);
    EXPECT_GE(slotsUsed.size(), 2u);
    int openSlot = -1;
    for (int i = 0; i < 4; ++i)
        openSlot = live.slots[i].used ? i : openSlot;
    ASSERT_GE(openSlot, 0);
    EXPECT_EQ(live.slots[openSlot].name, QStringLiteral("file6"));
    EXPECT_EQ(live.slots[openSlot].type, 7u);
}

TEST(FlashFilesystemWriter, PageMapsAndReservedBlocksKeepRecordsAway)
{
    VirtualFlash flash;
    FlashFilesystemWriter w(&flash);
    FlashFilesystemWriter::Layout layout;
    layout.reservedBlock1 = 5;
    layout.reservedBlock2 = 6;
    layout.mapBlockA = 9;
    layout.mapBlockB = 1000;
    w.markPageUnusable(4 * 64 + 3);  // cleared before the maps are written
    w.markPageUnusable(20000);       // in the second map page
    ASSERT_TRUE(w.format(layout, 4 * 256));
    const uint32_t id = w.openFile(QStringLiteral("x"));
    ASSERT_NE(id, 0u);
    w.markPageUnusable(4 * 64 + 10);  // ahead of the head: cleared later
    for (int r = 0; r < 2000; ++r)
        ASSERT_NE(w.appendRecord(id, payload(uint32_t(r))), FlashFilesystemWriter::kNoSector);

    for (uint32_t mapBlock : {9u, 1000u}) {
        for (uint32_t k = 0; k < 8; ++k) {
            const QByteArray map = flash.page(mapBlock * 64 + k);
            for (uint32_t page = k * 16384; page < (k + 1) * 16384; page += 1) {
                const uint32_t bit = page % 16384;
                const bool set = (uint8_t(map[int(bit / 8)]) >> (bit % 8)) & 1;
                EXPECT_EQ(set, !w.unusablePages().count(page)) << page;
                if (set != !w.unusablePages().count(page))
                    return;
            }
        }
    }
    std::set<uint32_t> blocks;
    for (uint32_t s : w.files()[0].recordSectors) {
        EXPECT_EQ(w.unusablePages().count(s / 4), 0u);
        blocks.insert(s / 256);
    }
    EXPECT_EQ(blocks.count(5), 0u);
    EXPECT_EQ(blocks.count(6), 0u);
    EXPECT_EQ(blocks.count(9), 0u);
    EXPECT_TRUE(blocks.count(4) && blocks.count(7) && blocks.count(8) && blocks.count(10));
    for (uint32_t p : {4u * 64 + 3, 4u * 64 + 10})
        EXPECT_TRUE(flash.isErased(p));
}

TEST(FlashFilesystemWriter, StreamWrapsPastTheEndOfTheFlash)
{
    VirtualFlash flash;
    FlashFilesystemWriter w(&flash);
    const uint32_t start = VirtualFlash::kSectorCount - 300;
    ASSERT_TRUE(w.format(FlashFilesystemWriter::Layout(), start));
    writeFiles(w, 2, 250);  // the second file crosses the end

    const auto &files = w.files();
    const auto &wrapped = files[1];
    ASSERT_LT(wrapped.endSector, wrapped.startSector);
    // Records follow the stream, with only checkpoints between them: up to 0x7FFFF, then on
    // from the first block after the reserved ones.
    std::set<uint32_t> checkpoints;
    for (const auto &st : w.stateRecords())
        checkpoints.insert(st.sector);
    auto nextInStream = [](uint32_t s) { return s + 1 == VirtualFlash::kSectorCount ? 4u * 256 : s + 1; };
    int crossings = 0;
    for (size_t i = 1; i < wrapped.recordSectors.size(); ++i) {
        uint32_t expected = nextInStream(wrapped.recordSectors[i - 1]);
        while (checkpoints.count(expected))
            expected = nextInStream(expected);
        EXPECT_EQ(wrapped.recordSectors[i], expected);
        crossings += wrapped.recordSectors[i] < wrapped.recordSectors[i - 1] ? 1 : 0;
    }
    EXPECT_EQ(crossings, 1);
    int links = 0;
    const auto found = walkChain(flash, w.stateExport(), &links);
    ASSERT_EQ(found.count(wrapped.id), 1u);
    EXPECT_EQ(found.at(wrapped.id).start, wrapped.startSector);
    EXPECT_EQ(found.at(wrapped.id).end, wrapped.endSector);
    EXPECT_EQ(links, int(w.stateRecords().size()));
}

TEST(FlashFilesystemWriter, BrokenLinksEndTheWalk)
{
    using Break = FlashFilesystemWriter::ChainBreak;
    for (Break how : {Break::BadCrc, Break::StaleSequence, Break::BadMagic}) {
        VirtualFlash flash;
        FlashFilesystemWriter w(&flash);
        ASSERT_TRUE(w.format());
        writeFiles(w, 4, 15);
        const auto &states = w.stateRecords();
        const size_t victim = states.size() / 2;
        ASSERT_TRUE(w.breakStateRecord(states[victim].sector, how));
        int links = 0;
        walkChain(flash, w.stateExport(), &links);
        EXPECT_EQ(links, int(states.size() - victim - 1));
    }
    VirtualFlash flash;
    FlashFilesystemWriter w(&flash);
    ASSERT_TRUE(w.format());
    writeFiles(w, 1, 3);
    EXPECT_FALSE(w.breakStateRecord(w.files()[0].recordSectors[0], Break::BadCrc));  // not a state record
    ASSERT_TRUE(w.corruptRecordCrc(w.files()[0].recordSectors[1]));
    EXPECT_FALSE(recordValid(flash.sector(w.files()[0].recordSectors[1])));
    EXPECT_TRUE(recordValid(flash.sector(w.files()[0].recordSectors[0])));
    EXPECT_FALSE(w.corruptRecordCrc(w.head() + 5));  // blank
}

TEST(FlashFilesystemWriter, RefusesWhatTheDeviceWouldRefuse)
{
    VirtualFlash flash;
    FlashFilesystemWriter w(&flash);
    EXPECT_EQ(u32(w.stateExport(), 0), 2u);  // no filesystem yet
    EXPECT_EQ(w.openFile(QStringLiteral("a")), 0u);

    FlashFilesystemWriter::Layout dup;
    dup.mapBlockB = dup.mapBlockA;
    EXPECT_FALSE(w.format(dup));
    FlashFilesystemWriter::Layout far;
    far.mapBlockB = 2048;
    EXPECT_FALSE(w.format(far));
    EXPECT_FALSE(w.format(FlashFilesystemWriter::Layout(), 2 * 256));  // inside a reserved block

    ASSERT_TRUE(w.format());
    uint32_t ids[4];
    for (uint32_t &id : ids) {
        id = w.openFile(QStringLiteral("a-very-long-name-that-does-not-fit-in-32-bytes"));
        ASSERT_NE(id, 0u);
    }
    EXPECT_EQ(w.openFile(QStringLiteral("fifth")), 0u);  // four slots
    EXPECT_EQ(parseState(w.liveState()).slots[0].name.toUtf8().size(), 32);
    EXPECT_EQ(w.appendRecord(ids[0], QByteArray(519, 0)), FlashFilesystemWriter::kNoSector);
    EXPECT_EQ(w.appendRecord(99, payload(1)), FlashFilesystemWriter::kNoSector);
    ASSERT_TRUE(w.closeFile(ids[1]));
    EXPECT_FALSE(w.closeFile(ids[1]));
    EXPECT_EQ(w.appendRecord(ids[1], payload(1)), FlashFilesystemWriter::kNoSector);
    EXPECT_EQ(w.closeAndOpen(ids[1], QStringLiteral("b")), 0u);
    EXPECT_NE(w.appendRecord(ids[2], payload(1)), FlashFilesystemWriter::kNoSector);
}
