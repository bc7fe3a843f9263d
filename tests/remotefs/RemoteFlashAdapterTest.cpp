// RemoteFlashAdapter against the protocol client and a virtual logger: the read path chosen by
// the patch level, the sector cache, status mapping, and every way a blocked read must end.
#include "remotefs/RemoteFlashAdapter.h"
#include "SimLogger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <QElapsedTimer>
#include <thread>

using namespace simtest;
using Geo = TC58CYG1S3HxAIDetail::EccParameters;

namespace {

VirtualLoggerConfig configAt(uint32_t patchLevel)
{
    VirtualLoggerConfig c;
    c.patchLevel = patchLevel;
    c.flash.closedSessions = 1;
    c.flash.minSessionDays = 0.2;
    c.flash.maxSessionDays = 0.3;
    return c;
}

// Runs `f` on another thread (reads block their caller) while this thread serves the client.
template <typename F> auto offThread(F f, int ms = 10000) -> decltype(f())
{
    auto future = std::async(std::launch::async, f);
    waitUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, ms);
    return future.get();
}

uint32_t firstRecordSector(SimLogger &sim)
{
    const auto truth = sim.truth();
    const auto closed = truth.closedSessions();
    return closed.empty() ? 0 : closed.front()->recordSectors.front();
}

QByteArray sectorOfDevicePage(const QByteArray &page, uint32_t n)
{
    return page.mid(512 * n, 512) + page.mid(2048 + 16 * n, 16);
}

// A forward walk over pages first..last, hinting each next page.
std::vector<PlannedPageRead> walk(uint32_t first, uint32_t last)
{
    std::vector<PlannedPageRead> w;
    for (uint32_t p = first; p <= last; ++p)
        w.push_back({p, p < last ? p + 1 : Geo::kNoPage});
    return w;
}

// Requests the logger has received for a page: page reads, or sector reads of its sectors.
uint32_t requestsFor(SimLogger &sim, uint32_t page)
{
    return sim.onDevice<uint32_t>([&](VirtualLogger &d) {
        const auto &fs = d.flashService();
        uint32_t n = fs.pageRequestCount(page);
        for (uint32_t s = 0; s < 4; ++s)
            n += fs.sectorRequestCount(page * 4 + s);
        return n;
    });
}

// For a thread that is not serving the client: sleeps until `done` or the deadline.
bool waitOffThread(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
}

}  // namespace

TEST(RemoteFlashAdapter, IsTheEccFlashInterface)
{
    RemoteFlashAdapter adapter;
    EXPECT_EQ(adapter.qt_metacast("FlashIO<TC58CYG1S3HxAIDetail::EccParameters>"),
              static_cast<void *>(static_cast<EccFlashIO *>(&adapter)));
    uint8_t buf[2112];
    EXPECT_EQ(adapter.read528(0, buf), FlashReadResult::Failed) << "no client";
    EXPECT_EQ(adapter.readPage(0, buf, Geo::kNoPage), FlashReadResult::Failed);
}

TEST(RemoteFlashAdapter, ReadPathFollowsPatchLevelAndCacheAvoidsRefetch)
{
    struct Case {
        uint32_t patch;
        uint16_t sectorType;
        bool pages;
    } cases[] = {{4100, Network::C2S_FlashRead528, false},
                 {4251, Network::C2S_FlashReadLz528, false},
                 {4252, Network::C2S_FlashReadLz528, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.patch);
        SimLogger sim(configAt(c.patch));
        ASSERT_TRUE(sim.waitReady());
        const uint32_t sector = firstRecordSector(sim);
        const uint32_t page = Geo::pageOfSector(sector);
        const QByteArray expected =
            sim.onDevice<QByteArray>([&](VirtualLogger &d) { return d.flashService().page(page); });
        ASSERT_EQ(expected.size(), 2112);

        RemoteFlashAdapter adapter;
        adapter.setClient(sim.client.get());
        QByteArray got(2112, 0);
        const FlashReadResult r =
            offThread([&] { return adapter.readPage(page, reinterpret_cast<uint8_t *>(got.data()), page + 1); });
        EXPECT_EQ(r, FlashReadResult::Ok);
        EXPECT_EQ(got, expected);
        sim.runner->withDevice([&](VirtualLogger &d) {
            const auto &fs = d.flashService();
            EXPECT_EQ(fs.pageRequestCount(page), c.pages ? 1u : 0u);
            for (uint32_t n = 0; n < 4; ++n)
                EXPECT_EQ(fs.sectorRequestCount(page * 4 + n), c.pages ? 0u : 1u) << n;
            EXPECT_EQ(d.requestCount(c.sectorType), c.pages ? 0u : 4u);
        });
        EXPECT_EQ(adapter.cachedSectorCount(), 4u);

        // Everything of that page again, as page and as sectors: served from the cache.
        const uint32_t before =
            sim.onDevice<uint32_t>([](VirtualLogger &d) { return d.flashService().totalReadRequests(); });
        QByteArray again(2112, 0);
        EXPECT_EQ(
            offThread([&] { return adapter.readPage(page, reinterpret_cast<uint8_t *>(again.data()), Geo::kNoPage); }),
            FlashReadResult::Ok);
        EXPECT_EQ(again, expected);
        for (uint32_t n = 0; n < 4; ++n) {
            QByteArray s(528, 0);
            EXPECT_EQ(offThread([&] { return adapter.read528(page * 4 + n, reinterpret_cast<uint8_t *>(s.data())); }),
                      FlashReadResult::Ok);
            EXPECT_EQ(s, sectorOfDevicePage(expected, n));
        }
        EXPECT_EQ(sim.onDevice<uint32_t>([](VirtualLogger &d) { return d.flashService().totalReadRequests(); }),
                  before);
    }
}

TEST(RemoteFlashAdapter, StatusesMapToResultsAndCorrectedDataIsCachedAsOk)
{
    for (uint32_t patch : {4251u, 4468u}) {
        SCOPED_TRACE(patch);
        SimLogger sim(configAt(patch));
        ASSERT_TRUE(sim.waitReady());
        const uint32_t page = Geo::pageOfSector(firstRecordSector(sim));
        sim.runner->withDevice([&](VirtualLogger &d) {
            d.flashService().setPageStatus(page, VirtualFlash::PageStatus::EccCorrectedMany);
            d.flashService().setPageStatus(page + 1, VirtualFlash::PageStatus::ReadFailure);
            d.flashService().setPageStatus(page + 2, VirtualFlash::PageStatus::HwFailure);
            d.flashService().setPageStatus(page + 3, VirtualFlash::PageStatus::EccCorrected);
        });
        RemoteFlashAdapter adapter;
        adapter.setClient(sim.client.get());
        uint8_t buf[2112];
        auto read = [&](uint32_t p) { return offThread([&] { return adapter.readPage(p, buf, Geo::kNoPage); }); };
        EXPECT_EQ(read(page), FlashReadResult::CorrectedMany);
        EXPECT_EQ(read(page + 1), FlashReadResult::Unreadable);
        EXPECT_EQ(read(page + 2), FlashReadResult::Failed);
        EXPECT_EQ(read(page + 3), FlashReadResult::Corrected);
        EXPECT_EQ(read(page), FlashReadResult::Ok) << "second read comes from the cache";
        EXPECT_EQ(adapter.cachedSectorCount(), 8u) << "only pages with valid data are cached";
    }
}

TEST(RemoteFlashAdapter, ReadingAheadGivesEveryReadWhatThatReadGivesOnItsOwn)
{
    for (uint32_t patch : {4040u, 4251u, 4468u}) {
        SCOPED_TRACE(patch);
        SimLogger sim(configAt(patch));
        ASSERT_TRUE(sim.waitReady());
        const uint32_t first = Geo::pageOfSector(firstRecordSector(sim));
        const uint32_t last = first + 5;
        sim.runner->withDevice([&](VirtualLogger &d) {
            d.flashService().setPageStatus(first + 1, VirtualFlash::PageStatus::EccCorrected);
            d.flashService().setPageStatus(first + 2, VirtualFlash::PageStatus::ReadFailure);
            d.flashService().setPageStatus(first + 3, VirtualFlash::PageStatus::EccCorrectedMany);
        });

        RemoteFlashAdapter ahead;
        ahead.setClient(sim.client.get());
        std::vector<std::pair<FlashReadResult, QByteArray>> walked;
        bool nextAskedEarly = true;
        offThread(
            [&] {
                for (uint32_t p = first; p <= last; ++p) {
                    ahead.readAhead(walk(p, last));
                    QByteArray buf(2112, 0);
                    walked.emplace_back(
                        ahead.readPage(p, reinterpret_cast<uint8_t *>(buf.data()), p < last ? p + 1 : Geo::kNoPage),
                        buf);
                    // Without reading ahead nothing asks for the next page before its own read.
                    if (p < last && !waitOffThread([&] { return requestsFor(sim, p + 1) > 0; }, 5000))
                        nextAskedEarly = false;
                }
                return 0;
            },
            60000);
        EXPECT_TRUE(nextAskedEarly);
        EXPECT_EQ(ahead.readsInFlight(), 0u);
        for (uint32_t p = first; p <= last; ++p)
            EXPECT_EQ(requestsFor(sim, p), patch > 4251 ? 1u : 4u) << "page " << p << " asked for once";

        // The same reads one by one, on their own.
        RemoteFlashAdapter alone;
        alone.setClient(sim.client.get());
        ASSERT_EQ(walked.size(), size_t(last - first + 1));
        for (uint32_t p = first; p <= last; ++p) {
            QByteArray buf(2112, 0);
            const FlashReadResult r =
                offThread([&] { return alone.readPage(p, reinterpret_cast<uint8_t *>(buf.data()), Geo::kNoPage); });
            EXPECT_EQ(walked[p - first].first, r) << "page " << p;
            if (r != FlashReadResult::Unreadable && r != FlashReadResult::Failed) {
                EXPECT_EQ(walked[p - first].second, buf) << "page " << p;
            }
        }
        EXPECT_EQ(walked[2].first, FlashReadResult::Unreadable);
    }
}

// A line so slow that one sector takes 140 ms: a deep pipeline would leave the last of these
// requests unanswered past the client's resend time (and soon past its expiry, which drops the
// connection).
TEST(RemoteFlashAdapter, OnASlowLineReadsAheadNoFurtherThanTheLineCarriesBeforeAResend)
{
    VirtualLoggerConfig c = configAt(4040);
    c.faults.baudLimit = 38400;
    SimLogger sim(c);
    ASSERT_TRUE(sim.waitReady(30000));
    // As the filesystem screen does: the sample stream off, the line free for the flash.
    sim.client->sendWriteTemporary16(Network::TemporaryName16::RawXyzOutput_Enable, 0);
    const uint32_t first = Geo::pageOfSector(firstRecordSector(sim));
    RemoteFlashAdapter adapter;
    adapter.setClient(sim.client.get());
    std::vector<FlashReadResult> results;
    offThread(
        [&] {
            for (uint32_t p = first; p <= first + 5; ++p) {
                adapter.readAhead(walk(p, first + 5));
                uint8_t buf[2112];
                results.push_back(adapter.readPage(p, buf, Geo::kNoPage));
            }
            return 0;
        },
        60000);
    EXPECT_EQ(results, std::vector<FlashReadResult>(6, FlashReadResult::Ok));
    EXPECT_EQ(sim.runner->requestCount(Network::C2S_FlashRead528), 24u) << "no request was sent twice";
    EXPECT_EQ(sim.client->connectionState(), TarrowindFirmware::ConnectionState_Ready);
}

TEST(RemoteFlashAdapter, CacheKeepsTheMostRecentlyUsedPagesWithinItsBound)
{
    SimLogger sim(configAt(4468));
    ASSERT_TRUE(sim.waitReady());
    const uint32_t page = Geo::pageOfSector(firstRecordSector(sim));
    RemoteFlashAdapter adapter;
    adapter.setCacheLimitBytes(2 * Geo::kPageSize - 1);  // room for seven sectors
    adapter.setClient(sim.client.get());
    uint8_t buf[2112];
    const auto requestsAfter = [&](uint32_t p) {
        EXPECT_EQ(offThread([&] { return adapter.readPage(p, buf, Geo::kNoPage); }), FlashReadResult::Ok);
        return sim.onDevice<uint32_t>([](VirtualLogger &d) { return d.flashService().totalReadRequests(); });
    };
    const uint32_t first = requestsAfter(page);
    EXPECT_EQ(requestsAfter(page + 1), first + 1);
    EXPECT_EQ(adapter.cachedSectorCount(), 7u) << "the oldest sector of the first page made room";
    EXPECT_EQ(requestsAfter(page + 1), first + 1) << "served from the cache";
    EXPECT_EQ(requestsAfter(page), first + 2) << "partly evicted, so fetched again";
    EXPECT_EQ(requestsAfter(page), first + 2);
    adapter.setCacheLimitBytes(0);
    EXPECT_EQ(adapter.cachedSectorCount(), 0u);
    EXPECT_EQ(requestsAfter(page), first + 3);
}

class BlockedRead : public ::testing::Test
{
protected:
    void SetUp() override
    {
        sim = std::make_unique<SimLogger>(configAt(4468));
        ASSERT_TRUE(sim->waitReady());
        sector = firstRecordSector(*sim);
        expected = sim->onDevice<QByteArray>([&](VirtualLogger &d) {
            return sectorOfDevicePage(d.flashService().page(Geo::pageOfSector(sector)), sector % 4);
        });
        slowReplies(1500);
        adapter.setClient(sim->client.get());
    }
    void slowReplies(int ms)
    {
        sim->runner->withDevice([&](VirtualLogger &d) {
            VirtualFlashService::Timing t;
            t.sectorReadMs = ms;
            t.pageReadMs = ms;
            t.preparedPageMs = ms;
            d.flashService().setTiming(t);
        });
    }
    std::future<FlashReadResult> startRead()
    {
        return std::async(std::launch::async,
                          [this] { return adapter.read528(sector, reinterpret_cast<uint8_t *>(got.data())); });
    }
    static bool ready(std::future<FlashReadResult> &f)
    {
        return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    // Serves the client for `ms` and reports whether the read ended meanwhile.
    static bool endsWithin(std::future<FlashReadResult> &f, int ms)
    {
        return waitUntil([&] { return ready(f); }, ms);
    }

    std::unique_ptr<SimLogger> sim;
    RemoteFlashAdapter adapter;
    uint32_t sector = 0;
    QByteArray expected;
    QByteArray got = QByteArray(528, 0);
};

TEST_F(BlockedRead, ForeignReplyIdsAreIgnored)
{
    auto f = startRead();
    spinFor(100);
    const QByteArray junk(528, '\x55');
    // Ids that cannot be the pending one: 0 never names a request, and a fresh id is newer.
    emit sim->client->recvFlashRead528Result(0, sector, Network::ReadStatus::Ok, junk);
    emit sim->client->recvFlashRead528Result(sim->client->nextRequestId(), sector, Network::ReadStatus::Ok, junk);
    emit sim->client->packetFinished(sim->client->nextRequestId(), PacketOutcome_Expired);
    EXPECT_FALSE(endsWithin(f, 200));
    ASSERT_TRUE(endsWithin(f, 10000));
    EXPECT_EQ(f.get(), FlashReadResult::Ok);
    EXPECT_EQ(got, expected);
}

TEST_F(BlockedRead, AnswerForAnotherSectorIsAFailedReadAndNeverCached)
{
    auto f = startRead();
    spinFor(100);
    const QByteArray junk(528, '\x55');
    // The pending read's id is one of the last few handed out.
    const uint16_t next = sim->client->nextRequestId();
    for (uint16_t back = 1; back <= 8; ++back)
        emit sim->client->recvFlashRead528Result(uint16_t(next - back), sector + 1, Network::ReadStatus::Ok, junk);
    ASSERT_TRUE(endsWithin(f, 10000));
    EXPECT_EQ(f.get(), FlashReadResult::Failed);
    EXPECT_NE(got, junk);
    EXPECT_EQ(adapter.cachedSectorCount(), 0u);
}

TEST_F(BlockedRead, AbortEndsTheWaitAndLaterReadsUntilRearmed)
{
    auto f = startRead();
    spinFor(100);
    ASSERT_FALSE(ready(f));
    adapter.abortPending(5);
    ASSERT_TRUE(endsWithin(f, 500));
    EXPECT_EQ(f.get(), FlashReadResult::Failed);
    // A cancellation that lands between two reads still stops the next one.
    auto again = startRead();
    ASSERT_TRUE(endsWithin(again, 500));
    EXPECT_EQ(again.get(), FlashReadResult::Failed);
    adapter.rearm();
    slowReplies(0);
    auto fresh = startRead();
    ASSERT_TRUE(endsWithin(fresh, 10000));
    EXPECT_EQ(fresh.get(), FlashReadResult::Ok);
    EXPECT_EQ(got, expected);
}

// Reads requested ahead of a walk that is then cancelled, or that goes elsewhere, are dropped at
// once; their answers still arrive later and must not stand in for a later read of the same
// page (here the page has turned unreadable in the meantime).
TEST_F(BlockedRead, CancelOrAJumpDropsReadsAheadAndTheirLateAnswersLandNowhere)
{
    // Answers take far longer than the cancel may, so a cancel that waited for them shows.
    slowReplies(1500);
    const uint32_t first = Geo::pageOfSector(sector);
    uint8_t buf[2112];
    auto walked = std::async(std::launch::async, [&] {
        adapter.readAhead(walk(first, first + 3));
        return adapter.readPage(first, buf, first + 1);
    });
    ASSERT_TRUE(waitUntil([&] { return requestsFor(*sim, first + 1) == 1; }, 5000)) << "read ahead";
    adapter.abortPending(5);
    ASSERT_TRUE(waitUntil([&] { return ready(walked); }, 1000)) << "the cancel waits for nothing";
    EXPECT_EQ(walked.get(), FlashReadResult::Failed);
    EXPECT_EQ(adapter.readsInFlight(), 0u);

    auto readAlone = [&](uint32_t page) {
        auto f = std::async(std::launch::async, [&, page] { return adapter.readPage(page, buf, Geo::kNoPage); });
        waitUntil([&] { return ready(f); }, 30000);
        return ready(f) ? f.get() : FlashReadResult::Failed;
    };
    sim->runner->withDevice(
        [&](VirtualLogger &d) { d.flashService().setPageStatus(first + 1, VirtualFlash::PageStatus::ReadFailure); });
    adapter.rearm();
    EXPECT_EQ(readAlone(first + 1), FlashReadResult::Unreadable);
    EXPECT_EQ(requestsFor(*sim, first + 1), 2u);

    // The walk announces pages first+4.., then jumps to first+8.
    adapter.readAhead(walk(first + 4, first + 6));
    ASSERT_TRUE(waitUntil([&] { return requestsFor(*sim, first + 5) == 1; }, 5000)) << "read ahead";
    sim->runner->withDevice(
        [&](VirtualLogger &d) { d.flashService().setPageStatus(first + 5, VirtualFlash::PageStatus::ReadFailure); });
    adapter.readAhead(walk(first + 8, first + 8));
    EXPECT_EQ(adapter.readsInFlight(), 1u) << "only the read of the page jumped to";
    EXPECT_EQ(readAlone(first + 5), FlashReadResult::Unreadable);
    EXPECT_EQ(requestsFor(*sim, first + 5), 2u);
    EXPECT_EQ(readAlone(first + 8), FlashReadResult::Ok);
    EXPECT_EQ(adapter.readsInFlight(), 0u);
}

TEST_F(BlockedRead, RequestTheClientRefusesFailsInsteadOfWaitingForever)
{
    sim->client->setIoDevice(nullptr);  // unconnected: every send returns 0
    auto f = startRead();
    const bool ended = endsWithin(f, 3000);
    if (!ended)
        adapter.abortPending(5);  // do not leave the thread blocked behind a failed check
    ASSERT_TRUE(ended);
    EXPECT_EQ(f.get(), FlashReadResult::Failed);
}

TEST_F(BlockedRead, DestroyedClientEndsTheWait)
{
    auto f = startRead();
    spinFor(100);
    ASSERT_FALSE(ready(f));
    sim->client.reset();
    ASSERT_TRUE(endsWithin(f, 500));
    EXPECT_EQ(f.get(), FlashReadResult::Failed);
    EXPECT_EQ(adapter.client(), nullptr);
    uint8_t buf[528];
    EXPECT_EQ(adapter.read528(sector, buf), FlashReadResult::Failed);
}

TEST_F(BlockedRead, LateReplyAfterTheAdapterIsGoneIsHarmless)
{
    // The owner aborts, the adapter is destroyed, and only then does the reply come in: the
    // client's handlers must find no dangling state (run under AddressSanitizer).
    auto doomed = std::make_unique<RemoteFlashAdapter>();
    doomed->setClient(sim->client.get());
    auto f = std::async(std::launch::async, [&] {
        uint8_t buf[528];
        return doomed->read528(sector, buf);
    });
    spinFor(100);
    doomed->abortPending(5);
    ASSERT_TRUE(endsWithin(f, 500));
    EXPECT_EQ(f.get(), FlashReadResult::Failed);
    doomed.reset();
    const uint64_t before = sim->runner->requestCount(Network::C2S_FlashReadLz528);
    EXPECT_EQ(before, 1u);
    spinFor(1700);  // the late reply arrives and is dropped
    EXPECT_EQ(sim->client->connectionState(), TarrowindFirmware::ConnectionState_Ready);
}
