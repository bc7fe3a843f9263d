// The filesystem over a synthetic flash: state import, session scan, iteration with the page
// map and reserved blocks, and session times.
#include "remotefs/SpiFlashFilesystem.h"
#include "FlashImage.h"
#include "MessageCapture.h"

#include <gtest/gtest.h>

using namespace flashtest;
using Fs = SpiFlashFilesystem<Geo, FakeAdapter>;

namespace {

struct Found {
    std::vector<RemoteFilesystemSessionPtr> sessions;
    Fs::ScanHooks hooks()
    {
        Fs::ScanHooks h;
        h.found = [this](const RemoteFilesystemSessionPtr &s) { sessions.push_back(s); };
        return h;
    }
};

bool mount(Fs &fs, const StateSpec &s)
{
    QString message;
    return fs.importState(makeExport(1, s), &message);
}

// Writes one state record (a data record whose payload begins with the state) at `sector`.
void writeStateRecord(FlashImage &img, uint32_t sector, const StateSpec &s)
{
    const auto st = makeState(s);
    img.writeSector(sector, makeRecord(std::vector<uint8_t>(st.begin(), st.end()), 0xFFFF0000u));
}

std::vector<uint32_t> collect(Fs &fs, SectorCursor c, bool forward, int *skipped = nullptr, StepResult *last = nullptr)
{
    std::vector<uint32_t> tags;
    uint8_t rec[528];
    for (int guard = 0; guard < 100000; ++guard) {
        const StepResult r = forward ? fs.nextDataBlock(c, rec) : fs.previousDataBlock(c, rec);
        if (r == StepFound) {
            uint32_t tag;
            std::memcpy(&tag, rec, 4);
            tags.push_back(tag);
        } else if (r == StepSkipped) {
            if (skipped)
                ++*skipped;
        } else if (r != StepNewPage) {
            if (last)
                *last = r;
            return tags;
        }
    }
    ADD_FAILURE() << "iteration did not end";
    return tags;
}

}  // namespace

TEST(StateImport, MountStatusesAndMessages)
{
    FlashImage img;
    Fs fs(&img);
    StateSpec s;
    const struct {
        int32_t status;
        bool mounted;
        const char *message;
    } cases[] = {{1, true, ""},
                 {2, false, "Filesystem could not be found."},
                 {3, false, "Hardware or communication error."},
                 {4, false, "Filesystem is inconsistent."},
                 {9, false, ""}};
    for (const auto &c : cases) {
        MessageCapture log;
        QString message = "stale";
        EXPECT_EQ(fs.importState(makeExport(c.status, s), &message), c.mounted);
        EXPECT_EQ(message, QString(c.message));
        EXPECT_EQ(fs.mountStatus(), c.status);
        EXPECT_TRUE(log.containsText(QString("Filesystem import status : %1").arg(c.status)))
            << log.messages().join('|').toStdString();
    }
}

TEST(StateImport, BadMagicVersionOrShortExportIsRejected)
{
    FlashImage img;
    Fs fs(&img);
    StateSpec good;
    good.head = 1234;
    StateSpec badMagic = good;
    badMagic.magic = 0xDA8B9264u;
    StateSpec badVersion = good;
    badVersion.version = 0;
    for (const QByteArray &e :
         {makeExport(1, badMagic), makeExport(1, badVersion), makeExport(1, good).left(257), QByteArray()}) {
        ASSERT_TRUE(fs.importState(makeExport(1, good), nullptr));
        QString message;
        EXPECT_FALSE(fs.importState(e, &message));
        EXPECT_EQ(fs.mountStatus(), 4);
        EXPECT_EQ(message, QString("Filesystem state import failed (old version?)"));
        EXPECT_EQ(fs.state().head, 0u) << "a rejected state is cleared";
        SectorCursor c{1, 0, 100};
        uint8_t rec[528];
        EXPECT_EQ(fs.nextDataBlock(c, rec), StepFailed);
        EXPECT_EQ(fs.previousDataBlock(c, rec), StepFailed);
    }
}

class ScanTest : public ::testing::Test
{
protected:
    // Chain (oldest first): S0 @100 seq 10: file 1 open in slot 0, head 1000.
    //                       S1 @200 seq 11: file 1 closed, file 2 open in slot 1, head 2000.
    //                       S2 @300 seq 12: slot 1 now file 3 (file 2 closed), head 3000.
    //                       current seq 13: files 3 (slot 1) and 4 (slot 0) open, head 4000.
    void SetUp() override
    {
        s0.sequence = 10;
        s0.head = 1000;
        s0.previous = 0;
        s0.files[0] = Slot{1, "first", 1, true};
        s1.sequence = 11;
        s1.head = 2000;
        s1.previous = 100;
        s1.files[1] = Slot{2, "second", 1, true};
        s2.sequence = 12;
        s2.head = 3000;
        s2.previous = 200;
        s2.files[1] = Slot{3, "third", 5, true};
        cur.sequence = 13;
        cur.head = 4000;
        cur.previous = 300;
        cur.files[0] = Slot{4, "fourth", 1, true};
        cur.files[1] = Slot{3, "third", 5, true};
        writeStateRecord(img, 100, s0);
        writeStateRecord(img, 200, s1);
        writeStateRecord(img, 300, s2);
    }
    FlashImage img;
    StateSpec s0, s1, s2, cur;
};

TEST_F(ScanTest, PublishesClosedFilesNewestFirstAndNeverOpenOnes)
{
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, cur));
    std::map<uint32_t, SessionEntry> table;
    Found found;
    EXPECT_TRUE(fs.scanSessions(table, true, found.hooks()));
    ASSERT_EQ(found.sessions.size(), 2u);
    const auto &a = *found.sessions[0];
    const auto &b = *found.sessions[1];
    EXPECT_EQ(a.sessionIndex(), 2u);
    EXPECT_EQ(a.startAddress(), 2000u);
    EXPECT_EQ(a.endAddress(), 3000u);
    EXPECT_EQ(a.filename(), QString("second"));
    EXPECT_EQ(a.filetype(), 1u);
    EXPECT_EQ(a.filesize(), uint64_t(1000 + 2) * 528);
    EXPECT_EQ(b.sessionIndex(), 1u);
    EXPECT_EQ(b.startAddress(), 1000u);
    EXPECT_EQ(b.endAddress(), 2000u);
    EXPECT_TRUE(a.startTime().isNull() && a.endTime().isNull());
    EXPECT_EQ(table.at(2).session, found.sessions[0]);
    // The open files are registered but never published.
    EXPECT_FALSE(table.at(3).session);
    EXPECT_FALSE(table.at(4).session);
    EXPECT_EQ(fs.sectorRequests, (std::vector<uint32_t>{300, 200, 100}));
}

TEST_F(ScanTest, BrokenLinksEndTheWalkWithTheFilesFoundSoFar)
{
    // A bad CRC on S0: the walk stops at S1, whose open file 2 is then published from S1's head.
    auto damaged = img.page(25);  // sector 100 is page 25, sector 0 of it
    img.pages[25][10] ^= 0x01;
    {
        Fs fs(&img);
        ASSERT_TRUE(mount(fs, cur));
        std::map<uint32_t, SessionEntry> table;
        Found found;
        MessageCapture log;
        EXPECT_TRUE(fs.scanSessions(table, true, found.hooks()));
        ASSERT_EQ(found.sessions.size(), 1u);
        EXPECT_EQ(found.sessions[0]->sessionIndex(), 2u);
        EXPECT_TRUE(log.containsText("SpiFlash datablock checksum fail!"));
    }
    img.pages[25] = damaged;

    // An equal sequence number ends the walk as well.
    StateSpec s1same = s1;
    s1same.sequence = 12;
    writeStateRecord(img, 200, s1same);
    {
        Fs fs(&img);
        ASSERT_TRUE(mount(fs, cur));
        std::map<uint32_t, SessionEntry> table;
        Found found;
        EXPECT_TRUE(fs.scanSessions(table, true, found.hooks()));
        EXPECT_TRUE(found.sessions.empty()) << "file 2 closed after S1 but its opening is never reached";
    }
    writeStateRecord(img, 200, s1);

    // An unreadable or blank link ends quietly; a link off the flash too.
    for (int variant = 0; variant < 3; ++variant) {
        FlashImage copy = img;
        StateSpec c = cur;
        if (variant == 0)
            copy.pageStatus[Geo::pageOfSector(300)] = 3;
        else if (variant == 1)
            copy.pages.erase(Geo::pageOfSector(300));
        else
            c.previous = 0x80000;
        Fs fs(&copy);
        ASSERT_TRUE(mount(fs, c));
        std::map<uint32_t, SessionEntry> table;
        Found found;
        EXPECT_TRUE(fs.scanSessions(table, true, found.hooks())) << variant;
        EXPECT_TRUE(found.sessions.empty()) << variant;
    }
}

TEST_F(ScanTest, FailedReadFailsTheScanButKeepsEarlierSessions)
{
    // One more link below S0, on a page whose read fails.
    StateSpec older = s0;
    older.sequence = 9;
    s0.previous = 40;
    writeStateRecord(img, 40, older);
    writeStateRecord(img, 100, s0);
    img.failingPages.insert(Geo::pageOfSector(40));
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, cur));
    std::map<uint32_t, SessionEntry> table;
    Found found;
    EXPECT_FALSE(fs.scanSessions(table, true, found.hooks()));
    ASSERT_EQ(found.sessions.size(), 1u);
    EXPECT_EQ(found.sessions[0]->sessionIndex(), 2u);
}

TEST_F(ScanTest, CurrentStateWithoutPreviousRecordYieldsNothing)
{
    Fs fs(&img);
    cur.previous = 0;
    ASSERT_TRUE(mount(fs, cur));
    std::map<uint32_t, SessionEntry> table;
    Found found;
    EXPECT_TRUE(fs.scanSessions(table, true, found.hooks()));
    EXPECT_TRUE(found.sessions.empty());
    EXPECT_TRUE(fs.sectorRequests.empty());
}

TEST_F(ScanTest, CancelledScanPublishesNothingAndSucceeds)
{
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, cur));
    std::map<uint32_t, SessionEntry> table;
    Found found;
    auto hooks = found.hooks();
    hooks.cancelled = [] { return true; };
    EXPECT_TRUE(fs.scanSessions(table, true, hooks));
    EXPECT_TRUE(found.sessions.empty());
}

TEST_F(ScanTest, WrappedSessionSize)
{
    StateSpec a;
    a.sequence = 1;
    a.head = 0x7FF00;
    a.files[0] = Slot{9, "wrap", 1, true};
    StateSpec b;
    b.sequence = 2;
    b.head = 0x100;
    b.previous = 500;
    writeStateRecord(img, 500, a);
    Fs fs(&img);
    b.previous = 500;
    ASSERT_TRUE(mount(fs, b));
    std::map<uint32_t, SessionEntry> table;
    Found found;
    EXPECT_TRUE(fs.scanSessions(table, true, found.hooks()));
    ASSERT_EQ(found.sessions.size(), 1u);
    EXPECT_EQ(found.sessions[0]->filesize(), uint64_t(0x100 - 0x7FF00 + 0x80000 + 2) * 528);
}

class IterationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        state.reserved1 = 3;  // blocks 3..4 reserved, the map in 1500/1501
        state.reserved2 = 4;
        state.mapA = 1500;
        state.mapB = 1501;
        state.head = 0;
    }
    // Records of file `id` with consecutive tags at the given sectors.
    void writeFile(uint32_t id, const std::vector<uint32_t> &sectors, uint32_t firstTag)
    {
        uint32_t tag = firstTag;
        for (uint32_t s : sectors)
            img.writeSector(s, makeRecord(payloadWithTag(tag++), id));
    }
    FlashImage img;
    StateSpec state;
};

TEST_F(IterationTest, ForwardAndBackwardSkipOtherFilesBlanksAndReservedBlocks)
{
    // File 7 spans block 2 .. block 5 with reserved blocks 3 and 4 in between.
    const uint32_t b2 = 2 * 256, b5 = 5 * 256;
    writeFile(7, {b2 + 250, b2 + 252, b2 + 255}, 1);
    writeFile(8, {b2 + 251, b2 + 253}, 100);  // interleaved foreign records
    writeFile(7, {3 * 256 + 10}, 50);         // in a reserved block: never seen
    writeFile(7, {b5 + 0, b5 + 5}, 4);
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, state));
    StepResult last = StepFailed;
    EXPECT_EQ(collect(fs, SectorCursor{7, b2 + 250, b5 + 5}, true, nullptr, &last),
              (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(last, StepEnd);
    for (uint32_t p : fs.pageRequests) {
        const uint32_t block = Geo::blockOfPage(p);
        EXPECT_TRUE(block != 3 && block != 4) << "reserved block page requested: " << p;
    }
    // Backwards examines (stop, start]: from b5+5 down to, not including, b2+250.
    EXPECT_EQ(collect(fs, SectorCursor{7, b5 + 5, b2 + 250}, false), (std::vector<uint32_t>{5, 4, 3, 2}));
}

TEST_F(IterationTest, BadCrcAndUnreadablePagesAreSkippedButRestArrives)
{
    writeFile(7, {1500, 1501, 1502, 1503, 1504, 1505, 1506, 1507, 1508, 1509, 1510, 1511}, 1);
    img.pages[Geo::pageOfSector(1501)][528 * 1 + 40] ^= 0xFF;  // sector 1501: CRC mismatch
    img.pageStatus[Geo::pageOfSector(1504)] = 3;               // sectors 1504..1507 unreadable
    img.pageStatus[Geo::pageOfSector(1508)] = 6;               // corrected: data still valid
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, state));
    MessageCapture log;
    int skipped = 0;
    EXPECT_EQ(collect(fs, SectorCursor{7, 1500, 1512}, true, &skipped),
              (std::vector<uint32_t>{1, 3, 4, 9, 10, 11, 12}));
    EXPECT_EQ(skipped, 1 + 4);
    EXPECT_TRUE(log.containsText("SpiFlash datablock checksum fail!"));
}

TEST_F(IterationTest, ClearedMapBitIsNeverRequestedAndMapBlocksAlternate)
{
    writeFile(7, {400, 404, 408}, 1);
    // Page 101 (sectors 404..407) is marked unusable in both copies of map page 0.
    std::vector<uint8_t> bits(2048, 0xFF);
    bits[101 / 8] &= uint8_t(~(1u << (101 % 8)));
    img.writeMapPage(1500 * 64 + 0, bits);
    img.writeMapPage(1501 * 64 + 0, bits);
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, state));
    EXPECT_EQ(collect(fs, SectorCursor{7, 400, 409}, true), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(std::count(fs.pageRequests.begin(), fs.pageRequests.end(), 101u), 0);
    // Map page 0 came from block A; a page in map page 1 makes the next load come from block B.
    ASSERT_FALSE(fs.pageRequests.empty());
    EXPECT_EQ(fs.pageRequests.front(), 1500u * 64);
    writeFile(7, {16384 * 4 + 8}, 20);
    EXPECT_EQ(collect(fs, SectorCursor{7, 16384 * 4, 16384 * 4 + 12}, true), (std::vector<uint32_t>{20}));
    EXPECT_NE(std::find(fs.pageRequests.begin(), fs.pageRequests.end(), 1501u * 64 + 1), fs.pageRequests.end());
}

TEST_F(IterationTest, WrapsPastTheEndOfTheFlashInOrder)
{
    writeFile(7, {0x7FFFC, 0x7FFFE, 0x7FFFF, 0, 2}, 1);
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, state));
    EXPECT_EQ(collect(fs, SectorCursor{7, 0x7FFFC, 3}, true), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(collect(fs, SectorCursor{7, 2, 0x7FFFB}, false), (std::vector<uint32_t>{5, 4, 3, 2, 1}));
}

TEST_F(IterationTest, HintsNameTheNextPageUnlessItHoldsTheStop)
{
    writeFile(7, {1600, 1604, 1608}, 1);
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, state));
    collect(fs, SectorCursor{7, 1600, 1609}, true);
    // Requests: map page, 400, 401, 402 (the stop's page).
    ASSERT_EQ(fs.pageRequests, (std::vector<uint32_t>{1500u * 64, 400, 401, 402}));
    EXPECT_EQ(fs.pageHints, (std::vector<uint32_t>{0xFFFFFFFFu, 401, 0xFFFFFFFFu, 403}));
}

TEST_F(IterationTest, StopOnAnUnreadablePageOrInAReservedBlockStillEnds)
{
    writeFile(7, {1500, 1501}, 1);
    img.pageStatus[Geo::pageOfSector(1504)] = 3;
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, state));
    StepResult last = StepFailed;
    EXPECT_EQ(collect(fs, SectorCursor{7, 1500, 1505}, true, nullptr, &last), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(last, StepEnd);
    // A stop inside reserved block 3 is reached at the first sector after the reserved run.
    writeFile(7, {2 * 256 + 1, 5 * 256 + 1}, 10);
    EXPECT_EQ(collect(fs, SectorCursor{7, 2 * 256, 3 * 256 + 7}, true, nullptr, &last), (std::vector<uint32_t>{10}));
    EXPECT_EQ(last, StepEnd);
}

// Every walk the filesystem announces must be exactly what it then reads: a page named that is
// never read (cleared map bit, reserved block, a stop on a page's first sector, a page whose map
// is not loaded yet) would be fetched for nothing, one missing would leave the line idle.
TEST_F(IterationTest, ReadAheadNamesExactlyThePagesTheWalkReadsNext)
{
    const uint32_t mapPage1 = 16384;
    std::vector<uint8_t> map0(2048, 0xFF), map1(2048, 0xFF);
    map0[322 / 8] &= uint8_t(~(1u << (322 % 8)));
    map1[0] &= uint8_t(~(1u << 1));  // page 16385
    for (uint32_t block : {1500u, 1501u}) {
        img.writeMapPage(block * 64 + 0, map0);
        img.writeMapPage(block * 64 + 1, map1);
    }
    writeFile(7, {178 * 4 + 1, 190 * 4 + 3, 321 * 4, 330 * 4 + 1}, 1);
    writeFile(7, {(mapPage1 - 3) * 4, mapPage1 * 4 + 2, (mapPage1 + 4) * 4 + 3}, 10);
    img.pageStatus[186] = 3;  // unreadable: read again for each of its sectors
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, state));
    // Across reserved blocks 3 and 4 and the cleared page 322 to a stop inside page 330; then
    // across the start of map page 1 to a stop on the first sector of page 16390.
    EXPECT_EQ(collect(fs, SectorCursor{7, 178 * 4, 330 * 4 + 2}, true), (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(collect(fs, SectorCursor{7, (mapPage1 - 4) * 4, (mapPage1 + 6) * 4}, true),
              (std::vector<uint32_t>{10, 11, 12}));

    auto isMapPage = [](uint32_t p) { return Geo::blockOfPage(p) == 1500 || Geo::blockOfPage(p) == 1501; };
    size_t longest = 0;
    for (const auto &announced : fs.readAheads) {
        const size_t at = announced.first;
        const auto &plan = announced.second;
        longest = std::max(longest, plan.size());
        // The data pages read from the page in hand on, one entry per run of reads of a page.
        std::vector<std::pair<uint32_t, uint32_t>> reads;
        size_t from = at;
        while (from > 0 && isMapPage(fs.pageRequests[from - 1]))
            --from;
        if (from > 0 && !plan.empty() && plan.front().page == fs.pageRequests[from - 1])
            --from;
        for (size_t i = from; i < fs.pageRequests.size(); ++i) {
            if (isMapPage(fs.pageRequests[i]) || (!reads.empty() && reads.back().first == fs.pageRequests[i]))
                continue;
            reads.emplace_back(fs.pageRequests[i], fs.pageHints[i]);
        }
        ASSERT_LE(plan.size(), reads.size()) << "announced after request " << at;
        for (size_t k = 0; k < plan.size(); ++k) {
            EXPECT_EQ(plan[k].page, reads[k].first) << "announced after request " << at << ", entry " << k;
            EXPECT_EQ(plan[k].nextPageHint, reads[k].second) << "announced after request " << at << ", entry " << k;
        }
    }
    EXPECT_EQ(longest, size_t(FakeAdapter::kReadAheadPages));
    EXPECT_EQ(std::count(fs.pageRequests.begin(), fs.pageRequests.end(), 186u), 4) << "as without reading ahead";
}

TEST_F(IterationTest, FailedReadStopsTheIteration)
{
    writeFile(7, {1500, 1504}, 1);
    img.failingPages.insert(Geo::pageOfSector(1504));
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, state));
    StepResult last = StepEnd;
    EXPECT_EQ(collect(fs, SectorCursor{7, 1500, 1510}, true, nullptr, &last), (std::vector<uint32_t>{1}));
    EXPECT_EQ(last, StepFailed);
}

namespace {
// A kind-0 pulse block: base time (tenths) and the entries K=1/v=0, K=1/v=3.
std::vector<uint8_t> pulseBlock(uint64_t baseTenths)
{
    std::vector<uint8_t> p(520, 0);
    put32(p.data(), 0xD3EC50E9u);
    put64(p.data() + 4, baseTenths);
    put32(p.data() + 12, 2);
    // bits LSB first: K=1, 0,0, b=0 | K=1, 1,0, bits 1,0  (v = 2 + 1 = 3)
    const int bits[] = {1, 0, 0, 0, 1, 1, 0, 1, 0};
    for (int i = 0; i < 9; ++i)
        if (bits[i])
            p[16 + i / 8] |= uint8_t(1u << (i % 8));
    return p;
}
}  // namespace

TEST(SessionTimes, PulseBlockTimestampedRecordAndOther)
{
    const uint64_t base = 16143264000ull;  // 2021-02-26T07:20:00Z in tenths
    auto rec = makeRecord(pulseBlock(base), 1);
    auto t = Fs::sessionTimes(rec.data());
    EXPECT_EQ(t.first.toMSecsSinceEpoch(), qint64(base) * 100);
    EXPECT_EQ(t.second.toMSecsSinceEpoch(), qint64(base) * 100 + 300);

    std::vector<uint8_t> stamped(520, 0);
    put32(stamped.data(), 0x2B947815u);
    put64(stamped.data() + 8, uint64_t(1614326400123456789ll));
    t = Fs::sessionTimes(makeRecord(stamped, 1).data());
    EXPECT_EQ(t.first.toMSecsSinceEpoch(), 1614326400123ll);
    EXPECT_EQ(t.second, t.first);
    stamped[4] = 1;
    t = Fs::sessionTimes(makeRecord(stamped, 1).data());
    EXPECT_TRUE(t.first.isNull() && t.second.isNull());
}

TEST_F(ScanTest, TimeScanFillsPulseLogSessionsAndLeavesBadStartsUnknown)
{
    // File 2 (records 2000..2999) and file 1 (1000..1999): pulse blocks at both ends.
    img.writeSector(2001, makeRecord(pulseBlock(1000), 2));
    img.writeSector(2500, makeRecord(pulseBlock(2000), 2));
    img.writeSector(1000, makeRecord(pulseBlock(500), 1));
    img.writeSector(1999, makeRecord(pulseBlock(900), 1));
    img.pages[Geo::pageOfSector(1000)][100] ^= 1;  // file 1's first record fails its CRC
    Fs fs(&img);
    ASSERT_TRUE(mount(fs, cur));
    std::map<uint32_t, SessionEntry> table;
    Found found;
    auto hooks = found.hooks();
    std::vector<std::tuple<uint32_t, QDateTime, QDateTime>> times;
    hooks.times = [&](const RemoteFilesystemSessionPtr &s, QDateTime a, QDateTime b) {
        times.emplace_back(s->sessionIndex(), a, b);
    };
    MessageCapture log;
    ASSERT_TRUE(fs.scanSessions(table, true, hooks));
    fs.scanTimes(table, hooks);
    EXPECT_TRUE(fs.readAheads.empty()) << "a search for one record reads nothing ahead";
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(std::get<0>(times[0]), 2u);
    EXPECT_EQ(std::get<1>(times[0]).toMSecsSinceEpoch(), 1000ll * 100);
    EXPECT_EQ(std::get<2>(times[0]).toMSecsSinceEpoch(), 2000ll * 100 + 300);
    EXPECT_EQ(std::get<0>(times[1]), 1u);
    EXPECT_TRUE(std::get<1>(times[1]).isNull());
    EXPECT_EQ(std::get<2>(times[1]).toMSecsSinceEpoch(), 900ll * 100 + 300);
}
