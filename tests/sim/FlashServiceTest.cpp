// The flash request service, driven with request packets as a client would send them.
#include "network/FastLz.h"
#include "network/Network.h"
#include "pulselog/PulseLog.h"
#include "sim/VirtualFlashService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <set>
#include <thread>

namespace {

using PageStatus = VirtualFlash::PageStatus;

uint16_t u16(const QByteArray &b, int at)
{
    return uint16_t(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8));
}

uint32_t u32(const QByteArray &b, int at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(uint8_t(b[at + i])) << (8 * i);
    return v;
}

QByteArray le32(uint32_t v)
{
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b.append(char(v >> (8 * i)));
    return b;
}

struct Sent {
    QByteArray packet;
    int delayMs;
};

// Sends one request and returns what the service sent back.
std::vector<Sent> ask(VirtualFlashService &svc, const QByteArray &request, uint32_t patch, bool *handled = nullptr)
{
    std::vector<Sent> out;
    const bool h = svc.handlePacket(request, patch, [&out](const QByteArray &p, int d) { out.push_back({p, d}); });
    if (handled)
        *handled = h;
    for (const Sent &s : out)
        EXPECT_TRUE(Network::packetChecksumValid(s.packet.constData(), s.packet.size()));
    return out;
}

QByteArray sectorRequest(uint16_t type, uint16_t id, uint32_t sector)
{
    return Network::encodePacket(type, id, le32(sector));
}

QByteArray pageRequest(uint16_t id, uint32_t page, uint32_t next, uint8_t compression)
{
    QByteArray body = le32(page) + le32(next);
    body.append(char(compression));
    return Network::encodePacket(Network::C2S_FlashReadPage, id, body);
}

struct ReadResult {
    bool answered = false;
    uint16_t status = 0xFFFF;
    QByteArray data;  // decoded (decompressed) bytes; empty when no data came
    int flag = -1;
};

// A sector read the way a client of that patch level asks.
ReadResult readSector(VirtualFlashService &svc, uint32_t sector, uint32_t patch, uint16_t id)
{
    ReadResult r;
    const bool lz = patch >= 4162;
    const auto sent =
        ask(svc, sectorRequest(lz ? Network::C2S_FlashReadLz528 : Network::C2S_FlashRead528, id, sector), patch);
    if (sent.size() != 1)
        return r;
    const QByteArray &p = sent[0].packet;
    r.answered = true;
    EXPECT_EQ(u16(p, 6), id);
    if (!lz) {
        EXPECT_EQ(u16(p, 0), uint16_t(Network::S2C_FlashRead528Result));
        EXPECT_EQ(p.size(), 542);
        EXPECT_EQ(u32(p, 8), sector);
        r.status = u16(p, 12);
        r.data = p.mid(14);
        return r;
    }
    EXPECT_EQ(u16(p, 0), uint16_t(Network::S2C_FlashReadLz528Result));
    const int n = u16(p, 8);
    EXPECT_EQ(p.size(), 17 + n);
    EXPECT_EQ(u32(p, 10), sector);
    r.status = u16(p, 14);
    r.flag = uint8_t(p[16]);
    const QByteArray bytes = p.mid(17);
    if (r.flag) {
        QByteArray out(528, '\0');
        EXPECT_EQ(FastLz::decompress(bytes.constData(), bytes.size(), out.data(), out.size()), 528);
        r.data = out;
    } else {
        r.data = bytes;
    }
    return r;
}

ReadResult readPage(VirtualFlashService &svc, uint32_t page, uint32_t next, uint8_t compression, uint32_t patch,
                    uint16_t id)
{
    ReadResult r;
    const auto sent = ask(svc, pageRequest(id, page, next, compression), patch);
    if (sent.size() != 1)
        return r;
    const QByteArray &p = sent[0].packet;
    r.answered = true;
    EXPECT_EQ(u16(p, 0), uint16_t(Network::S2C_FlashReadPageResult));
    EXPECT_EQ(u16(p, 6), id);
    const int n = u16(p, 8);
    EXPECT_EQ(p.size(), 17 + n);
    EXPECT_LE(p.size(), 2129);
    EXPECT_EQ(u32(p, 10), page);
    r.status = u16(p, 14);
    r.flag = uint8_t(p[16]);
    const QByteArray bytes = p.mid(17);
    if (r.flag) {
        QByteArray out(2112, '\0');
        EXPECT_EQ(FastLz::decompress(bytes.constData(), bytes.size(), out.data(), out.size()), 2112);
        r.data = out;
    } else {
        r.data = bytes;
    }
    return r;
}

bool valid(uint16_t status)
{
    return status == 0 || status == 6 || status == 7;
}

// Downloads a session as the host would, by the flash layout alone: every page from its start
// to its end sector, skipping reserved blocks and pages whose map bit is clear, keeping the
// records of the session whose CRC holds. Page reads above patch level 4251, sector reads below.
std::vector<QByteArray> download(VirtualFlashService &svc, const VirtualFlashService::SessionTruth &s, uint32_t patch,
                                 std::set<uint32_t> *pagesRead, bool *hwFailure)
{
    const QByteArray ex = svc.groundTruth().stateExport;
    std::set<uint32_t> reserved;
    for (int i = 0; i < 4; ++i)
        reserved.insert(u32(ex, 4 + 22 + 4 * i));
    const uint32_t mapA = u32(ex, 4 + 30);
    uint16_t id = 1000;
    std::vector<QByteArray> records;
    *hwFailure = false;
    auto pageBytes = [&](uint32_t page, ReadResult *res) {
        if (patch > 4251) {
            *res = readPage(svc, page, 0xFFFFFFFF, 1, patch, ++id);
            return;
        }
        QByteArray sectors;
        res->status = 0;
        res->answered = true;
        for (uint32_t n = 0; n < 4; ++n) {
            const ReadResult r = readSector(svc, page * 4 + n, patch, ++id);
            if (!valid(r.status))
                res->status = r.status;
            sectors += r.data.size() == 528 ? r.data : QByteArray(528, char(0xFF));
        }
        res->data = VirtualFlash::toDeviceLayout(sectors);
    };
    std::map<uint32_t, QByteArray> maps;
    uint32_t sector = s.scanStartSector;
    while (sector != s.endSector) {
        const uint32_t page = sector / 4;
        if (reserved.count(page / 64)) {
            sector = ((page / 64 + 1) % 2048) * 256;
            continue;
        }
        const uint32_t k = page / 16384;
        if (!maps.count(k)) {
            ReadResult m;
            pageBytes(mapA * 64 + k, &m);
            maps[k] = valid(m.status) ? m.data : QByteArray(2112, char(0xFF));
        }
        const uint32_t bit = page % 16384;
        const bool usable = (uint8_t(maps[k][int(bit / 8)]) >> (bit % 8)) & 1;
        if (usable) {
            ReadResult r;
            pageBytes(page, &r);
            pagesRead->insert(page);
            if (r.status == 2) {
                *hwFailure = true;
                return records;
            }
            if (valid(r.status)) {
                const QByteArray sectors = VirtualFlash::toSectorLayout(r.data);
                for (uint32_t n = sector % 4; n < 4; ++n) {
                    const uint32_t at = page * 4 + n;
                    const uint32_t b = s.scanStartSector, e = s.endSector;
                    const bool inRange = b <= e ? (at >= b && at < e) : (at >= b || at < e);
                    if (!inRange)
                        break;
                    const QByteArray rec = sectors.mid(int(n) * 528, 528);
                    if (u32(rec, 520) == s.index && FlashFilesystemWriter::recordCrcValid(rec))
                        records.push_back(rec.left(520));
                }
            }
        }
        // On to the next page (or to the end sector if it lies on this page).
        uint32_t next = (page * 4 + 4) % VirtualFlash::kSectorCount;
        const bool endOnPage = s.endSector / 4 == page && s.endSector % 4 != 0 && s.endSector > sector;
        sector = endOnPage ? s.endSector : next;
    }
    return records;
}

VirtualFlashService::Scenario smallScenario(uint32_t seed)
{
    VirtualFlashService::Scenario sc;
    sc.seed = seed;
    sc.closedSessions = 3;
    sc.minSessionDays = 1.0;
    sc.maxSessionDays = 1.5;
    sc.openSessionHours = 6;
    return sc;
}

int64_t baseTenths(const QByteArray &block)
{
    const uint32_t magic = u32(block, 0);
    const int at = magic == 0xD3EC50E9u ? 4 : 8;
    return int64_t(u32(block, at)) | (int64_t(u32(block, at + 4)) << 32);
}

}  // namespace

TEST(VirtualFlashService, DefaultScenarioHoldsDaysOfLoggingPerSession)
{
    VirtualFlashService svc;
    const auto gt = svc.groundTruth();
    ASSERT_EQ(gt.sessions.size(), 4u);
    const auto closed = gt.closedSessions();
    ASSERT_EQ(closed.size(), 3u);
    EXPECT_TRUE(gt.sessions.back().open);
    EXPECT_FALSE(gt.sessions.back().listed);
    std::set<uint32_t> magics;
    int64_t previousEnd = 0;
    for (const auto *s : closed) {
        EXPECT_TRUE(s->listed);
        EXPECT_EQ(s->fileType, 1u);
        EXPECT_TRUE(s->name.startsWith(QStringLiteral("log_")));
        EXPECT_GE(s->records.size(), 200u);
        EXPECT_LE(s->records.size(), 2000u);
        const double days = double(s->lastTimeMs - s->firstTimeMs) / 86400000.0;
        EXPECT_GE(days, 1.9);
        EXPECT_LE(days, 4.0);
        EXPECT_GT(s->firstTimeMs, previousEnd);
        previousEnd = s->lastTimeMs;
        EXPECT_EQ(baseTenths(s->records.front()) * 100, s->firstTimeMs);
        EXPECT_EQ(s->rawLog().size(), int(s->records.size()) * 520);
        EXPECT_EQ(s->expectedDownload().size(), s->records.size());
        for (const QByteArray &r : s->records)
            magics.insert(u32(r, 0));
    }
    // Kinds change with the firmware generations of the sessions; the newest writes kind 2.
    EXPECT_EQ(magics.size(), 3u);
    EXPECT_EQ(u32(gt.sessions.back().records.front(), 0), 0xD3EC50EBu);

    VirtualFlashService again;
    EXPECT_EQ(again.groundTruth().sessions[1].rawLog(), gt.sessions[1].rawLog());
    VirtualFlashService::Scenario other;
    other.seed = 2;
    EXPECT_NE(VirtualFlashService(other).groundTruth().sessions[1].rawLog(), gt.sessions[1].rawLog());
}

TEST(VirtualFlashService, StateRequestAnswersTheExport)
{
    VirtualFlashService svc(smallScenario(3));
    bool handled = false;
    const auto sent = ask(svc, Network::encodePacket(Network::C2S_FlashGetState, 77), 4040, &handled);
    EXPECT_TRUE(handled);
    ASSERT_EQ(sent.size(), 1u);
    const QByteArray &p = sent[0].packet;
    EXPECT_EQ(p.size(), 536);
    EXPECT_EQ(u16(p, 0), uint16_t(Network::S2C_FlashGetStateResult));
    EXPECT_EQ(u16(p, 6), 77);
    EXPECT_EQ(p.mid(8), svc.groundTruth().stateExport);
    EXPECT_EQ(u32(p, 8), 1u);            // mounted
    EXPECT_EQ(u32(p, 12), 0xDA8B9265u);  // state magic
}

TEST(VirtualFlashService, SectorReadsFollowThePatchLevel)
{
    VirtualFlashService svc(smallScenario(4));
    const auto gt = svc.groundTruth();
    const auto &s = gt.sessions[1];
    const uint32_t sector = s.recordSectors[5];

    const ReadResult plain = readSector(svc, sector, 4040, 1);
    ASSERT_TRUE(plain.answered);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.data.left(520), s.records[5]);
    EXPECT_EQ(u32(plain.data, 520), s.index);

    bool handled = true;
    EXPECT_TRUE(ask(svc, sectorRequest(Network::C2S_FlashReadLz528, 2, sector), 4161, &handled).empty());
    EXPECT_FALSE(handled);  // that firmware does not know the compressed read

    const ReadResult lz = readSector(svc, sector, 4162, 3);
    ASSERT_TRUE(lz.answered);
    EXPECT_EQ(lz.flag, 1);
    EXPECT_EQ(lz.data, plain.data);
    const ReadResult blank = readSector(svc, 0x7FFF0, 4162, 4);
    EXPECT_EQ(blank.data, QByteArray(528, char(0xFF)));

    const ReadResult bad = readSector(svc, 0x80000, 4162, 5);
    EXPECT_EQ(bad.status, uint16_t(Network::ReadStatus::BadRequest));
    EXPECT_TRUE(bad.data.isEmpty());
    EXPECT_EQ(readSector(svc, 0x80000, 4040, 6).data, QByteArray(528, char(0xFF)));
}

TEST(VirtualFlashService, PageReadsCompressWhenAsked)
{
    VirtualFlashService svc(smallScenario(5));
    const auto gt = svc.groundTruth();
    const auto &s = gt.sessions[0];
    const uint32_t page = s.recordSectors[10] / 4;
    const QByteArray truth = svc.page(page);

    EXPECT_FALSE(readPage(svc, page, page + 1, 1, 4251, 1).answered);
    const ReadResult l1 = readPage(svc, page, page + 1, 1, 4252, 2);
    ASSERT_TRUE(l1.answered);
    EXPECT_EQ(l1.status, 0);
    EXPECT_NE(l1.flag, 0);
    EXPECT_EQ(l1.data, truth);
    const ReadResult raw = readPage(svc, page, 0xFFFFFFFF, 0, 4468, 3);
    EXPECT_EQ(raw.flag, 0);
    EXPECT_EQ(raw.data, truth);
    const auto sent = ask(svc, pageRequest(4, page, 0xFFFFFFFF, 2), 4468);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(uint8_t(sent[0].packet[17]) >> 5, 1);  // a level-2 block
    const ReadResult erased = readPage(svc, 100000, 0xFFFFFFFF, 1, 4468, 5);
    EXPECT_EQ(erased.data, QByteArray(2112, char(0xFF)));
    EXPECT_LT(ask(svc, pageRequest(6, 100000, 0xFFFFFFFF, 1), 4468)[0].packet.size(), 100);
}

TEST(VirtualFlashService, PageStatusesReachTheRepliesAndTheGroundTruth)
{
    VirtualFlashService svc(smallScenario(6));
    const uint32_t index = svc.groundTruth().sessions[1].index;
    const uint32_t corrected = svc.setRecordPageStatus(index, 4, PageStatus::EccCorrected);
    const uint32_t many = svc.setRecordPageStatus(index, 40, PageStatus::EccCorrectedMany);
    const uint32_t failed = svc.setRecordPageStatus(index, 80, PageStatus::ReadFailure);
    ASSERT_NE(corrected, 0xFFFFFFFFu);
    EXPECT_EQ(svc.setRecordPageStatus(index, 100000, PageStatus::ReadFailure), 0xFFFFFFFFu);

    EXPECT_EQ(readPage(svc, corrected, 0xFFFFFFFF, 1, 4468, 1).status, 6);
    EXPECT_EQ(readPage(svc, corrected, 0xFFFFFFFF, 1, 4468, 1).data, svc.page(corrected));
    EXPECT_EQ(readSector(svc, many * 4, 4162, 2).status, 7);
    const ReadResult f = readPage(svc, failed, 0xFFFFFFFF, 1, 4468, 3);
    EXPECT_EQ(f.status, 3);
    EXPECT_TRUE(f.data.isEmpty());
    const ReadResult fs = readSector(svc, failed * 4 + 1, 4040, 4);
    EXPECT_EQ(fs.status, 3);
    EXPECT_EQ(fs.data, QByteArray(528, char(0xFF)));

    const auto s = *svc.groundTruth().session(index);
    size_t lost = 0;
    for (size_t i = 0; i < s.records.size(); ++i) {
        const bool onFailedPage = s.recordSectors[i] / 4 == failed;
        EXPECT_EQ(s.recordReadable[i], !onFailedPage);
        lost += onFailedPage ? 1 : 0;
    }
    EXPECT_GE(lost, 1u);
    EXPECT_EQ(s.expectedDownload().size(), s.records.size() - lost);
    EXPECT_FALSE(s.hasHwFailure);

    svc.setRecordPageStatus(index, 7, PageStatus::HwFailure);
    EXPECT_TRUE(svc.groundTruth().session(index)->hasHwFailure);
    EXPECT_EQ(readSector(svc, s.recordSectors[7], 4040, 5).status, 2);
}

TEST(VirtualFlashService, CountersTellCachedFromRepeatedFetches)
{
    VirtualFlashService svc(smallScenario(7));
    readSector(svc, 5000, 4162, 10);
    readSector(svc, 5000, 4162, 10);  // a resend of the same request
    EXPECT_EQ(svc.sectorRequestCount(5000), 1u);
    readSector(svc, 5001, 4162, 11);
    EXPECT_TRUE(svc.sectorsFetchedMoreThanOnce().empty());
    readPage(svc, 1250, 1251, 1, 4468, 12);  // sectors 5000..5003 again
    EXPECT_EQ(svc.pageRequestCount(1250), 1u);
    EXPECT_EQ(svc.sectorFetchCount(5000), 2u);
    EXPECT_EQ(svc.sectorFetchCount(5003), 1u);
    const auto twice = svc.sectorsFetchedMoreThanOnce();
    EXPECT_EQ(twice, (std::map<uint32_t, uint32_t>{{5000, 2}, {5001, 2}}));
    EXPECT_TRUE(svc.sectorsRequestedMoreThanOnce().empty());
    EXPECT_TRUE(svc.pagesRequestedMoreThanOnce().empty());
    readPage(svc, 1250, 1251, 1, 4468, 14);
    EXPECT_EQ(svc.pagesRequestedMoreThanOnce(), (std::map<uint32_t, uint32_t>{{1250, 2}}));
    readSector(svc, 5000, 4162, 13);  // a new request for the same sector counts
    EXPECT_EQ(svc.sectorRequestCount(5000), 2u);
    EXPECT_EQ(svc.sectorsRequestedMoreThanOnce(), (std::map<uint32_t, uint32_t>{{5000, 2}}));
    EXPECT_EQ(svc.totalReadRequests(), 5u);
    svc.resetCounters();
    EXPECT_EQ(svc.sectorFetchCount(5000), 0u);
    EXPECT_EQ(svc.totalReadRequests(), 0u);
}

TEST(VirtualFlashService, SessionsDownloadByTheLayoutWithFaultsAndWrapAround)
{
    VirtualFlashService::Scenario sc = smallScenario(8);
    sc.wrapAround = true;
    sc.unusablePages = 2;
    VirtualFlashService svc(sc);
    auto gt = svc.groundTruth();
    const auto closed = gt.closedSessions();
    ASSERT_EQ(closed.size(), 3u);
    EXPECT_FALSE(closed[0]->wraps());
    EXPECT_TRUE(closed[1]->wraps());
    EXPECT_FALSE(closed[2]->wraps());
    EXPECT_EQ(closed[0]->unusablePages.size(), 1u);
    EXPECT_EQ(closed[1]->unusablePages.size(), 1u);

    const uint32_t ids[3] = {closed[0]->index, closed[1]->index, closed[2]->index};
    ASSERT_TRUE(svc.corruptRecordCrc(ids[2], 0));
    svc.setRecordPageStatus(ids[0], 20, PageStatus::ReadFailure);
    svc.setRecordPageStatus(ids[1], 30, PageStatus::EccCorrectedMany);
    gt = svc.groundTruth();  // `closed` points into the old copy from here on
    EXPECT_FALSE(gt.session(ids[2])->recordReadable[0]);
    EXPECT_LT(gt.session(ids[0])->expectedDownload().size(), gt.session(ids[0])->records.size());

    for (uint32_t patch : {4468u, 4251u}) {
        for (const auto *s : gt.closedSessions()) {
            std::set<uint32_t> pagesRead;
            bool hw = false;
            const auto got = download(svc, *s, patch, &pagesRead, &hw);
            EXPECT_FALSE(hw);
            EXPECT_EQ(got, s->expectedDownload()) << "session " << s->index << " patch " << patch;
            for (uint32_t p : s->unusablePages)
                EXPECT_EQ(pagesRead.count(p), 0u);
        }
    }
    for (uint32_t p : gt.closedSessions()[0]->unusablePages) {
        EXPECT_EQ(svc.pageRequestCount(p), 0u);
        EXPECT_EQ(svc.sectorRequestCount(p * 4), 0u);
    }
}

TEST(VirtualFlashService, BrokenChainLinkHidesOlderSessions)
{
    using Break = FlashFilesystemWriter::ChainBreak;
    for (Break how : {Break::BadCrc, Break::StaleSequence, Break::BadMagic}) {
        VirtualFlashService svc(smallScenario(9));
        const auto before = svc.groundTruth();
        const uint32_t third = before.closedSessions()[2]->index;
        ASSERT_TRUE(svc.breakStateChainBefore(third, how));
        const auto gt = svc.groundTruth();
        const auto closed = gt.closedSessions();
        EXPECT_FALSE(closed[0]->listed);
        EXPECT_FALSE(closed[1]->listed);
        EXPECT_TRUE(closed[2]->listed);
        EXPECT_EQ(closed[2]->scanStartSector, closed[2]->startSector);
        EXPECT_EQ(closed[2]->expectedDownload().size(), closed[2]->records.size());
        // The damaged record is the state record right before the one that opened the session.
        const ReadResult r = readSector(svc, closed[2]->startSector, 4040, 1);
        const ReadResult broken = readSector(svc, u32(r.data, 50), 4040, 2);
        EXPECT_NE(broken.data, before.stateExport);
        if (how == Break::BadCrc)
            EXPECT_FALSE(FlashFilesystemWriter::recordCrcValid(broken.data));
        else
            EXPECT_TRUE(FlashFilesystemWriter::recordCrcValid(broken.data));
    }
    VirtualFlashService svc(smallScenario(9));
    EXPECT_FALSE(svc.breakStateChainBefore(999, Break::BadCrc));
}

TEST(VirtualFlashService, UnreadableOpeningRecordMovesTheScanStart)
{
    VirtualFlashService::Scenario sc = smallScenario(14);
    sc.commitEveryRecords = 20;  // checkpoints inside every session
    VirtualFlashService svc(sc);
    const uint32_t second = svc.groundTruth().closedSessions()[1]->index;
    const uint32_t opening = svc.groundTruth().session(second)->startSector;
    svc.setPageStatus(opening / 4, PageStatus::ReadFailure);

    const auto gt = svc.groundTruth();
    const auto closed = gt.closedSessions();
    EXPECT_FALSE(closed[0]->listed);  // its closing pair lies beyond the unreadable link
    ASSERT_TRUE(closed[1]->listed);
    EXPECT_TRUE(closed[2]->listed);
    const auto *s = closed[1];
    EXPECT_NE(s->scanStartSector, s->startSector);
    const auto expected = s->expectedDownload();
    EXPECT_GT(expected.size(), 0u);
    EXPECT_LT(expected.size() + 20, s->records.size() + 1);  // the first checkpoint's worth is lost
    std::set<uint32_t> pages;
    bool hw = false;
    EXPECT_EQ(download(svc, *s, 4468, &pages, &hw), expected);
    EXPECT_EQ(pages.count(opening / 4), 0u);
}

TEST(VirtualFlashService, CreateFormatsWithProgressAndAnswersBusyMeanwhile)
{
    VirtualFlashService svc(smallScenario(10));
    VirtualFlashService::Timing timing;
    timing.createSteps = 4;
    timing.createStepMs = 60000;  // long enough to still be busy below
    svc.setTiming(timing);
    const auto sent = ask(svc, Network::encodePacket(Network::C2S_FlashCreate, 321), 4468);
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(u16(sent[0].packet, 0), uint16_t(Network::S2C_FlashCreateAck));
    EXPECT_EQ(u16(sent[0].packet, 6), 321);
    EXPECT_EQ(sent[0].delayMs, 0);
    int lastDelay = 0;
    uint16_t lastProgress = 0;
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(u16(sent[size_t(i)].packet, 0), uint16_t(Network::S2C_FlashCreateProgress));
        EXPECT_EQ(sent[size_t(i)].packet.size(), 8);
        EXPECT_GT(u16(sent[size_t(i)].packet, 6), lastProgress);
        lastProgress = u16(sent[size_t(i)].packet, 6);
        EXPECT_GT(sent[size_t(i)].delayMs, lastDelay);
        lastDelay = sent[size_t(i)].delayMs;
    }
    EXPECT_EQ(lastProgress, 65535);
    const QByteArray &result = sent[5].packet;
    EXPECT_EQ(u16(result, 0), uint16_t(Network::S2C_FlashCreateResult));
    EXPECT_EQ(u16(result, 6), 321);
    EXPECT_EQ(u16(result, 8), 0);
    EXPECT_GT(sent[5].delayMs, lastDelay);

    EXPECT_EQ(readSector(svc, 5000, 4162, 1).status, uint16_t(Network::ReadStatus::Busy));
    EXPECT_EQ(ask(svc, Network::encodePacket(Network::C2S_FlashCreate, 321), 4468).size(), 1u);  // resend: ack only

    const auto gt = svc.groundTruth();
    ASSERT_EQ(gt.sessions.size(), 1u);
    EXPECT_TRUE(gt.sessions[0].open);
    EXPECT_TRUE(gt.closedSessions().empty());
    EXPECT_EQ(u32(gt.stateExport, 0), 1u);
    EXPECT_EQ(svc.stats().openSessionIndex, gt.sessions[0].index);
}

TEST(VirtualFlashService, IgnoresWhatIsNotAFlashRequest)
{
    VirtualFlashService svc(smallScenario(11));
    EXPECT_TRUE(svc.handles(Network::C2S_FlashReadPage));
    EXPECT_TRUE(svc.handles(Network::C2S_FlashGetState));
    EXPECT_FALSE(svc.handles(Network::C2S_GetDeviceId));
    bool handled = true;
    EXPECT_TRUE(ask(svc, Network::encodePacket(Network::C2S_GetDeviceId, 1), 4468, &handled).empty());
    EXPECT_FALSE(handled);
    EXPECT_TRUE(ask(svc, QByteArray("\x58\x5a\x00", 3), 4468, &handled).empty());
    EXPECT_FALSE(handled);
    // A sector read cut short.
    EXPECT_TRUE(ask(svc, sectorRequest(Network::C2S_FlashRead528, 1, 5).left(10), 4468, &handled).empty());
    EXPECT_FALSE(handled);
    EXPECT_TRUE(ask(svc, pageRequest(1, 5, 6, 1).left(16), 4468, &handled).empty());
    EXPECT_EQ(svc.totalReadRequests(), 0u);
    // Commit writes the live state as a record.
    const uint32_t prevBefore = u32(svc.groundTruth().stateExport, 54);
    const auto ack = ask(svc, Network::encodePacket(Network::C2S_FlashCommitNow, 9), 4468);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(u16(ack[0].packet, 0), uint16_t(Network::S2C_FlashCommitNowAck));
    EXPECT_NE(u32(svc.groundTruth().stateExport, 54), prevBefore);
}

TEST(VirtualFlashService, GroundTruthFilesDescribeTheFlash)
{
    VirtualFlashService svc(smallScenario(12));
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString dir = tmp.filePath(QStringLiteral("truth"));
    QString error;
    ASSERT_TRUE(svc.writeGroundTruth(dir, &error)) << error.toStdString();
    const auto gt = svc.groundTruth();

    QFile json(QDir(dir).filePath(QStringLiteral("sessions.json")));
    ASSERT_TRUE(json.open(QIODevice::ReadOnly));
    const QJsonArray sessions =
        QJsonDocument::fromJson(json.readAll()).object().value(QStringLiteral("sessions")).toArray();
    ASSERT_EQ(sessions.size(), int(gt.sessions.size()));
    for (int i = 0; i < sessions.size(); ++i) {
        const QJsonObject o = sessions[i].toObject();
        const auto &s = gt.sessions[size_t(i)];
        EXPECT_EQ(uint32_t(o.value(QStringLiteral("index")).toDouble()), s.index);
        EXPECT_EQ(o.value(QStringLiteral("name")).toString(), s.name);
        EXPECT_EQ(uint32_t(o.value(QStringLiteral("fileType")).toDouble()), 1u);
        EXPECT_EQ(uint32_t(o.value(QStringLiteral("startSector")).toDouble()), s.startSector);
        EXPECT_EQ(uint32_t(o.value(QStringLiteral("endSector")).toDouble()), s.endSector);
        EXPECT_EQ(size_t(o.value(QStringLiteral("recordCount")).toDouble()), s.records.size());
        EXPECT_EQ(o.value(QStringLiteral("open")).toBool(), s.open);
        QFile raw(QDir(dir).filePath(QStringLiteral("session-%1.rlog").arg(s.index)));
        EXPECT_EQ(raw.exists(), !s.open);
        if (!s.open) {
            ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
            EXPECT_EQ(raw.readAll(), s.rawLog());
        }
    }

    QFile state(QDir(dir).filePath(QStringLiteral("state-export.bin")));
    ASSERT_TRUE(state.open(QIODevice::ReadOnly));
    EXPECT_EQ(state.readAll(), gt.stateExport);

    QFile pages(QDir(dir).filePath(QStringLiteral("flash-pages.bin")));
    ASSERT_TRUE(pages.open(QIODevice::ReadOnly));
    const QByteArray all = pages.readAll();
    ASSERT_EQ(all.size() % 2116, 0);
    int64_t previous = -1;
    std::set<uint32_t> listed;
    for (int at = 0; at < all.size(); at += 2116) {
        const uint32_t page = u32(all, at);
        EXPECT_GT(int64_t(page), previous);
        previous = page;
        listed.insert(page);
        EXPECT_EQ(all.mid(at + 4, 2112), svc.page(page));
        EXPECT_NE(all.mid(at + 4, 2112), QByteArray(2112, char(0xFF)));
    }
    for (const auto &s : gt.sessions) {
        for (uint32_t sector : s.recordSectors)
            EXPECT_EQ(listed.count(sector / 4), 1u);
    }
    EXPECT_EQ(listed.count(2 * 64), 1u);  // page map A

    // No temporary files are left behind.
    EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), int(gt.closedSessions().size()) + 4);

    // After a create the sessions are gone, and so are their raw logs.
    VirtualFlashService::Timing quick;
    quick.createStepMs = 0;
    svc.setTiming(quick);
    ask(svc, Network::encodePacket(Network::C2S_FlashCreate, 5), 4468);
    ASSERT_TRUE(svc.writeGroundTruth(dir, &error)) << error.toStdString();
    EXPECT_TRUE(QDir(dir).entryList({QStringLiteral("*.rlog")}, QDir::Files).isEmpty());
    EXPECT_EQ(QDir(dir).entryList(QDir::Files).size(), 4);
}

// uses.json against what the saved logs hold, read back by the utility's own loader: the uses
// of a session account for its pulses, carry known keys and stay inside the session.
TEST(VirtualFlashService, UsesAccountForEachSessionsPulses)
{
    const std::set<QString> keys = {"toilet",  "shower",     "faucet", "clothesWasher", "dishwasher",
                                    "bathtub", "irrigation", "leak",   "other"};
    for (int leaks = 0; leaks < 2; ++leaks) {
        VirtualFlashService::Scenario sc = smallScenario(20 + uint32_t(leaks));
        sc.leak = sc.flapper = leaks == 1;
        VirtualFlashService svc(sc);
        QTemporaryDir tmp;
        ASSERT_TRUE(tmp.isValid());
        QString error;
        ASSERT_TRUE(svc.writeGroundTruth(tmp.path(), &error)) << error.toStdString();
        QFile json(tmp.filePath(QStringLiteral("uses.json")));
        ASSERT_TRUE(json.open(QIODevice::ReadOnly));
        const QJsonArray uses = QJsonDocument::fromJson(json.readAll()).array();

        std::set<QString> seen;
        const auto gt = svc.groundTruth();
        for (const auto *s : gt.closedSessions()) {
            SCOPED_TRACE(s->index);
            PulseLog log;
            ASSERT_TRUE(log.load(tmp.filePath(QStringLiteral("session-%1.rlog").arg(s->index))));
            uint64_t pulses = 0;
            for (const auto &e : log.entries())
                pulses += e.count;
            double litres = 0;
            int count = 0;
            for (const QJsonValue &v : uses) {
                const QJsonObject u = v.toObject();
                if (u.value(QStringLiteral("session")).toDouble() != double(s->index))
                    continue;
                const QString key = u.value(QStringLiteral("use")).toString();
                EXPECT_EQ(keys.count(key), 1u) << key.toStdString();
                seen.insert(key);
                const QDateTime start =
                    QDateTime::fromString(u.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
                const QDateTime end =
                    QDateTime::fromString(u.value(QStringLiteral("end")).toString(), Qt::ISODateWithMs);
                ASSERT_TRUE(start.isValid() && end.isValid());
                EXPECT_EQ(start.timeSpec(), Qt::UTC);
                EXPECT_LT(start, end);
                EXPECT_GE(start.toMSecsSinceEpoch(), s->firstTimeMs);
                EXPECT_LE(end.toMSecsSinceEpoch(), s->lastTimeMs + 100);
                EXPECT_GT(u.value(QStringLiteral("litres")).toDouble(), 0.0);
                litres += u.value(QStringLiteral("litres")).toDouble();
                ++count;
            }
            ASSERT_GT(count, 20);
            // The meter keeps only the part-turn it is in at the end; the file rounds each use
            // to the millilitre.
            const double metered = double(pulses) * sc.litresPerPulse;
            EXPECT_LE(metered, litres + count * 0.0005 + 1e-6);
            EXPECT_GT(metered, litres - sc.litresPerPulse - count * 0.0005);
        }
        for (const char *key : {"toilet", "shower", "faucet"})
            EXPECT_EQ(seen.count(QLatin1String(key)), 1u) << key;
        EXPECT_EQ(seen.count(QStringLiteral("leak")), size_t(leaks));
    }
}

TEST(VirtualFlashService, ServesReadsFromSeveralThreads)
{
    VirtualFlashService svc(smallScenario(13));
    std::atomic<int> answered{0};
    auto reader = [&](uint16_t first) {
        for (uint16_t i = 0; i < 200; ++i) {
            const uint32_t sector = 1024 + i * 3;
            svc.handlePacket(sectorRequest(Network::C2S_FlashReadLz528, uint16_t(first + i), sector), 4468,
                             [&](const QByteArray &, int) { ++answered; });
        }
    };
    std::thread a(reader, 1), b(reader, 5000);
    for (int i = 0; i < 50; ++i) {
        svc.sectorFetchCount(1024);
        svc.groundTruth();
    }
    a.join();
    b.join();
    EXPECT_EQ(answered.load(), 400);
    EXPECT_EQ(svc.sectorRequestCount(1024), 2u);
}
