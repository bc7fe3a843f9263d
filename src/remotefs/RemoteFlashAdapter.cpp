#include "RemoteFlashAdapter.h"

#include "CrossThreadFunctor.h"
#include "network/TarrowindFirmware.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <QDebug>
#include <QMetaObject>
#include <unordered_map>
#include <vector>

using Geo = TC58CYG1S3HxAIDetail::EccParameters;

namespace {
int64_t monotonicNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

struct RemoteFlashAdapter::Channel : std::enable_shared_from_this<RemoteFlashAdapter::Channel> {
    // One request sent to the client and not yet consumed by a read.
    struct Read {
        uint16_t id = 0;
        bool page = false;     // a page request, else a sector request
        uint32_t address = 0;  // page index or sector address
        int64_t sentNs = 0;
        bool arrived = false;
        uint16_t status = kStatusNotMounted;
        std::vector<uint8_t> data;  // as received; copied out by the read that consumes it
    };

    mutable std::mutex mutex;
    std::condition_variable wake;
    TarrowindFirmware *client = nullptr;
    std::vector<QMetaObject::Connection> connections;
    bool aborted = false;
    // Bumped whenever another thread drops the reads in flight (abort, a change of client): a
    // read waiting then ends with dropStatus.
    uint64_t generation = 0;
    uint16_t dropStatus = kStatusNotMounted;
    uint16_t status = kStatusNotMounted;  // of the read consumed last
    // Patch level of the client, read on the client's thread (identity updates arrive there).
    bool patchLevelKnown = false;
    uint32_t patchLevel = 0;
    std::array<uint8_t, Geo::kSectorSize> sectorReply{};
    std::array<uint8_t, Geo::kPageSize> pageReply{};
    // Sectors received, least recently used first out once the bound is reached.
    struct Cached {
        std::array<uint8_t, Geo::kSectorSize> bytes;
        std::list<uint32_t>::iterator use;
    };
    std::unordered_map<uint32_t, Cached> cache;
    std::list<uint32_t> uses;  // most recent at the front
    size_t cacheLimitSectors = kDefaultCacheBytes / Geo::kSectorSize;

    std::vector<Read> reads;            // in request order
    std::vector<PlannedPageRead> plan;  // what the walk reads from here on
    // Line time per answer while answers queue up behind each other (0 = not measured yet).
    int64_t lastArrivalNs = 0;
    int64_t answerIntervalNs = 0;

    // All members below: caller holds the mutex.
    bool sectorPath() const { return patchLevel <= kLastSectorOnlyPatchLevel; }

    Read *find(uint16_t id)
    {
        auto it = std::find_if(reads.begin(), reads.end(), [id](const Read &r) { return r.id == id; });
        return it == reads.end() ? nullptr : &*it;
    }
    Read *findAddress(bool page, uint32_t address)
    {
        auto it = std::find_if(reads.begin(), reads.end(),
                               [&](const Read &r) { return r.page == page && r.address == address; });
        return it == reads.end() ? nullptr : &*it;
    }
    bool cached(uint32_t sector) const { return cache.count(sector) != 0; }
    // The cached sector copied out (and made the most recent), or false.
    bool takeCached(uint32_t sector, uint8_t *dst)
    {
        auto hit = cache.find(sector);
        if (hit == cache.end())
            return false;
        std::memcpy(dst, hit->second.bytes.data(), Geo::kSectorSize);
        uses.splice(uses.begin(), uses, hit->second.use);
        return true;
    }
    void store(uint32_t sector, const uint8_t *src)
    {
        if (cacheLimitSectors == 0)
            return;
        auto it = cache.find(sector);
        if (it == cache.end()) {
            while (cache.size() >= cacheLimitSectors) {
                cache.erase(uses.back());
                uses.pop_back();
            }
            uses.push_front(sector);
            it = cache.emplace(sector, Cached{{}, uses.begin()}).first;
        } else {
            uses.splice(uses.begin(), uses, it->second.use);
        }
        std::memcpy(it->second.bytes.data(), src, Geo::kSectorSize);
    }
    void trimCache()
    {
        while (cache.size() > cacheLimitSectors) {
            cache.erase(uses.back());
            uses.pop_back();
        }
    }
    bool pageCached(uint32_t page) const
    {
        for (uint32_t n = 0; n < Geo::kSectorsPerPage; ++n)
            if (!cached(page * Geo::kSectorsPerPage + n))
                return false;
        return true;
    }
    bool planned(uint32_t page) const
    {
        return std::any_of(plan.begin(), plan.end(), [page](const PlannedPageRead &p) { return p.page == page; });
    }

    // Forgets every read in flight: their answers, whenever they come, are ignored.
    void dropAll(uint16_t newStatus)
    {
        reads.clear();
        plan.clear();
        ++generation;
        dropStatus = newStatus;
        status = newStatus;
        wake.notify_all();
    }
    void dropClient()
    {
        for (const auto &c : connections)
            QObject::disconnect(c);
        connections.clear();
        client = nullptr;
        patchLevelKnown = false;
    }

    // How many requests may wait for their answers at once: as many as the line carries in the
    // budget, at least one ahead of the read in hand while two answers take well under the
    // client's resend time, and two until the line has been timed.
    size_t window() const
    {
        if (answerIntervalNs <= 0)
            return 2;
        const int64_t least = 2 * answerIntervalNs <= kSlowLineLimitNs ? 2 : 1;
        return size_t(std::clamp<int64_t>(kReadAheadBudgetNs / answerIntervalNs, least, kMaxReadsInFlight));
    }
    size_t unanswered() const
    {
        return size_t(std::count_if(reads.begin(), reads.end(), [](const Read &r) { return !r.arrived; }));
    }

    // Only an answer to a read in flight counts: a late answer to a dropped request, or one
    // with a foreign id, must not satisfy a read. An answer about another page or sector than
    // the one asked for is a failed read, never that page's data.
    void arrived(uint16_t id, bool page, uint32_t address, uint16_t replyStatus, const QByteArray &data)
    {
        std::lock_guard<std::mutex> l(mutex);
        Read *r = find(id);
        if (!r || r->arrived || r->page != page)
            return;
        if (r->address != address) {
            qWarning() << "Flash read" << id << "asked for" << (page ? "page" : "sector") << r->address
                       << "and was answered for" << address;
            r->arrived = true;
            r->status = kStatusHwFailure;
            r->data.clear();
            wake.notify_all();
            return;
        }
        const int64_t now = monotonicNs();
        // Answers that waited behind the previous one show how long the line takes per answer.
        if (lastArrivalNs > 0 && r->sentNs <= lastArrivalNs) {
            const int64_t sample = now - lastArrivalNs;
            answerIntervalNs = answerIntervalNs > 0 ? (7 * answerIntervalNs + sample) / 8 : sample;
        }
        lastArrivalNs = now;
        r->arrived = true;
        r->status = replyStatus;
        r->data.assign(data.constData(), data.constData() + data.size());
        wake.notify_all();
    }
    void failed(uint16_t id)
    {
        std::lock_guard<std::mutex> l(mutex);
        Read *r = find(id);
        if (!r || r->arrived)
            return;
        r->arrived = true;
        r->status = kStatusHwFailure;
        wake.notify_all();
    }

    // Queues one request on the client's thread. A request the client refuses to send (id 0:
    // no device, not connected) would never be answered, so it fails right there.
    void issue(bool page, uint32_t address, uint32_t nextPageHint)
    {
        TarrowindFirmware *c = client;
        Read r;
        r.id = c->nextRequestId();
        r.page = page;
        r.address = address;
        r.sentNs = monotonicNs();
        const uint16_t id = r.id;
        reads.push_back(std::move(r));
        std::shared_ptr<Channel> self = shared_from_this();
        QMetaObject::invokeMethod(c, crossThread([self, c, id, page, address, nextPageHint]() {
                                      const uint16_t sent =
                                          page ? c->sendFlashReadPage(id, address, uint8_t(1), nextPageHint)
                                               : c->sendFlashRead528(id, address);
                                      if (sent == 0)
                                          self->failed(id);
                                  }),
                                  Qt::QueuedConnection);
    }

    // Requests what the walk reads next, in its order, until the window is full. `from` is the
    // read in hand (a page, or on the sector path a sector): nothing before it is asked for again.
    void topUp(uint32_t from)
    {
        if (!client || aborted || !patchLevelKnown)
            return;
        const bool sectors = sectorPath();
        const uint32_t fromPage = sectors ? Geo::pageOfSector(from) : from;
        auto it = std::find_if(plan.begin(), plan.end(), [&](const PlannedPageRead &p) { return p.page == fromPage; });
        if (it == plan.end())
            return;
        size_t waiting = unanswered();
        const size_t limit = window();
        if (waiting >= limit)
            return;
        for (; it != plan.end(); ++it) {
            if (sectors) {
                for (uint32_t n = 0; n < Geo::kSectorsPerPage; ++n) {
                    const uint32_t sector = it->page * Geo::kSectorsPerPage + n;
                    if ((it->page == fromPage && sector < from) || cached(sector) || findAddress(false, sector))
                        continue;
                    if (waiting >= limit)
                        return;
                    issue(false, sector, Geo::kNoPage);
                    ++waiting;
                }
            } else if (!pageCached(it->page) && !findAddress(true, it->page)) {
                if (waiting >= limit)
                    return;
                issue(true, it->page, it->nextPageHint);
                ++waiting;
            }
        }
    }

    // The answer to one read: from the request already in flight for it, or from a new one.
    // The mutex is held on entry and on return, and released while waiting. `walk`: the read is
    // part of the announced walk, whose next reads then go out behind it. Returns the status;
    // with data, the bytes are in the reply buffer of the read's kind.
    uint16_t fetch(std::unique_lock<std::mutex> &lock, bool page, uint32_t address, uint32_t nextPageHint, bool walk)
    {
        if (!findAddress(page, address))
            issue(page, address, nextPageHint);
        const uint16_t id = findAddress(page, address)->id;
        if (walk)
            topUp(address);
        const uint64_t gen = generation;
        wake.wait(lock, [&] {
            if (generation != gen)
                return true;
            const Read *r = find(id);
            return !r || r->arrived;
        });
        auto it = std::find_if(reads.begin(), reads.end(), [id](const Read &r) { return r.id == id; });
        if (generation != gen || it == reads.end()) {
            status = dropStatus;
            return status;
        }
        status = it->status;
        uint8_t *buffer = page ? pageReply.data() : sectorReply.data();
        const size_t size = page ? pageReply.size() : sectorReply.size();
        // A short answer fills only its own length; the rest keeps what was there.
        if (!it->data.empty())
            std::memcpy(buffer, it->data.data(), std::min(it->data.size(), size));
        reads.erase(it);
        return status;
    }

    // One sector through the cache; the mutex is held.
    FlashReadResult readSector(std::unique_lock<std::mutex> &lock, uint32_t sector, uint8_t *dst528, bool walk)
    {
        if (!client || aborted)
            return FlashReadResult::Failed;
        if (takeCached(sector, dst528))
            return FlashReadResult::Ok;
        const uint16_t s = fetch(lock, false, sector, Geo::kNoPage, walk);
        if (readStatusHasData(s)) {
            std::memcpy(dst528, sectorReply.data(), Geo::kSectorSize);
            store(sector, sectorReply.data());
        }
        return flashReadResultFromStatus(s);
    }

    // A failed read ends its caller's operation: nothing in flight is wanted any more.
    FlashReadResult settle(FlashReadResult r)
    {
        if (r == FlashReadResult::Failed) {
            reads.clear();
            plan.clear();
        }
        return r;
    }
};

RemoteFlashAdapter::RemoteFlashAdapter(QObject *parent) : QObject(parent), m_channel(std::make_shared<Channel>()) {}

RemoteFlashAdapter::~RemoteFlashAdapter()
{
    std::unique_lock<std::mutex> lock(m_channel->mutex);
    m_channel->dropClient();
    m_channel->aborted = true;
    m_channel->dropAll(kStatusNotMounted);
    m_channel->cache.clear();
    m_channel->uses.clear();
}

void RemoteFlashAdapter::setClient(TarrowindFirmware *client)
{
    std::shared_ptr<Channel> ch = m_channel;
    std::unique_lock<std::mutex> lock(ch->mutex);
    if (ch->client) {
        ch->dropClient();
        ch->dropAll(kStatusNotMounted);
    }
    ch->client = client;
    if (!client)
        return;
    auto &c = ch->connections;
    c.push_back(connect(client, &TarrowindFirmware::recvFlashRead528Result, client,
                        crossThread([ch](uint16_t id, uint32_t sector, Network::ReadStatus status, QByteArray data) {
                            ch->arrived(id, false, sector, uint16_t(status), data);
                        }),
                        Qt::DirectConnection));
    c.push_back(connect(client, &TarrowindFirmware::recvFlashReadPageResult, client,
                        crossThread([ch](uint16_t id, uint32_t page, Network::ReadStatus status, QByteArray data) {
                            ch->arrived(id, true, page, uint16_t(status), data);
                        }),
                        Qt::DirectConnection));
    c.push_back(connect(client, &TarrowindFirmware::packetFinished, client,
                        crossThread([ch](uint16_t id, PacketOutcome outcome) {
                            // A handled request's result signal has delivered its data already.
                            if (outcome != PacketOutcome_Handled)
                                ch->failed(id);
                        }),
                        Qt::DirectConnection));
    // The client's members are gone by the time `destroyed` is emitted: forget it at once so
    // no read touches it again, and release a read that waits for it.
    c.push_back(connect(client, &QObject::destroyed, client, crossThread([ch]() {
                            std::lock_guard<std::mutex> l(ch->mutex);
                            ch->dropClient();
                            ch->dropAll(kStatusNotMounted);
                        }),
                        Qt::DirectConnection));
    auto updatePatchLevel = crossThread([ch, client]() {
        const uint32_t level = client->patchLevelVersion();
        std::lock_guard<std::mutex> l(ch->mutex);
        if (ch->client != client)
            return;
        ch->patchLevel = level;
        ch->patchLevelKnown = true;
        ch->wake.notify_all();
    });
    c.push_back(connect(client, &TarrowindFirmware::getIdInfoChanged, client, updatePatchLevel, Qt::DirectConnection));
    // The first value is read on the client's thread too; reads wait for it.
    QMetaObject::invokeMethod(client, updatePatchLevel, Qt::QueuedConnection);
}

TarrowindFirmware *RemoteFlashAdapter::client() const
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    return m_channel->client;
}

void RemoteFlashAdapter::abortPending(uint16_t status)
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    m_channel->aborted = true;
    m_channel->dropAll(status);
}

void RemoteFlashAdapter::rearm()
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    m_channel->aborted = false;
    m_channel->reads.clear();
    m_channel->plan.clear();
}

size_t RemoteFlashAdapter::cachedSectorCount() const
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    return m_channel->cache.size();
}

size_t RemoteFlashAdapter::readsInFlight() const
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    return m_channel->reads.size();
}

void RemoteFlashAdapter::handleFlashRead528Result(uint16_t requestId, uint32_t offset528, uint16_t status,
                                                  const QByteArray &data)
{
    m_channel->arrived(requestId, false, offset528, status, data);
}

void RemoteFlashAdapter::handleFlashReadPageResult(uint16_t requestId, uint32_t pageIndex, uint16_t status,
                                                   const QByteArray &data)
{
    m_channel->arrived(requestId, true, pageIndex, status, data);
}

void RemoteFlashAdapter::setCacheLimitBytes(size_t bytes)
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    m_channel->cacheLimitSectors = bytes / Geo::kSectorSize;
    m_channel->trimCache();
}

size_t RemoteFlashAdapter::cacheLimitBytes() const
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    return m_channel->cacheLimitSectors * Geo::kSectorSize;
}

void RemoteFlashAdapter::handlePacketFinished(uint16_t requestId, int outcome)
{
    if (outcome != PacketOutcome_Handled)
        m_channel->failed(requestId);
}

void RemoteFlashAdapter::readAhead(const std::vector<PlannedPageRead> &pages)
{
    std::shared_ptr<Channel> ch = m_channel;
    std::lock_guard<std::mutex> lock(ch->mutex);
    if (!ch->client || ch->aborted)
        return;
    ch->plan.assign(pages.begin(), pages.begin() + std::min<size_t>(pages.size(), kReadAheadPages));
    // The walk went elsewhere: what it no longer reads is not waited for.
    auto &reads = ch->reads;
    reads.erase(std::remove_if(reads.begin(), reads.end(),
                               [&](const Channel::Read &r) {
                                   return !ch->planned(r.page ? r.address : Geo::pageOfSector(r.address));
                               }),
                reads.end());
    if (!ch->plan.empty())
        ch->topUp(ch->sectorPath() ? ch->plan.front().page * Geo::kSectorsPerPage : ch->plan.front().page);
}

FlashReadResult RemoteFlashAdapter::read528(uint32_t sector, uint8_t *dst528)
{
    std::shared_ptr<Channel> ch = m_channel;
    std::unique_lock<std::mutex> lock(ch->mutex);
    return ch->settle(ch->readSector(lock, sector, dst528, false));
}

FlashReadResult RemoteFlashAdapter::readPage(uint32_t page, uint8_t *dst2112, uint32_t nextPageHint)
{
    std::shared_ptr<Channel> ch = m_channel;
    std::unique_lock<std::mutex> lock(ch->mutex);
    if (!ch->client || ch->aborted)
        return FlashReadResult::Failed;
    ch->wake.wait(lock, [&] { return ch->patchLevelKnown || !ch->client || ch->aborted; });
    if (!ch->client || ch->aborted)
        return FlashReadResult::Failed;
    const bool walk = ch->planned(page);

    if (ch->sectorPath()) {
        FlashReadResult worst = FlashReadResult::Ok;
        for (uint32_t n = 0; n < Geo::kSectorsPerPage; ++n)
            worst = worstOf(
                worst, ch->readSector(lock, page * Geo::kSectorsPerPage + n, dst2112 + n * Geo::kSectorSize, walk));
        Geo::sectorToDeviceLayout(dst2112);
        return ch->settle(worst);
    }

    uint16_t status = 0;
    uint32_t n = 0;
    for (; n < Geo::kSectorsPerPage; ++n) {
        if (!ch->takeCached(page * Geo::kSectorsPerPage + n, dst2112 + n * Geo::kSectorSize))
            break;
    }
    if (n < Geo::kSectorsPerPage) {
        // A request made ahead for this page is taken as it comes: its status is the one this
        // read would have had.
        status = ch->fetch(lock, true, page, nextPageHint, walk);
        if (readStatusHasData(status)) {
            std::memcpy(dst2112, ch->pageReply.data(), Geo::kPageSize);
            Geo::deviceToSectorLayout(dst2112);
            for (uint32_t k = 0; k < Geo::kSectorsPerPage; ++k)
                ch->store(page * Geo::kSectorsPerPage + k, dst2112 + k * Geo::kSectorSize);
        }
    }
    Geo::sectorToDeviceLayout(dst2112);
    return ch->settle(flashReadResultFromStatus(status));
}
