#include "RemoteFlashAdapter.h"

#include "CrossThreadFunctor.h"
#include "TarrowindFirmware.h"

#include <QDebug>
#include <QMetaObject>
#include <array>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

using Geo = TC58CYG1S3HxAIDetail::EccParameters;

struct RemoteFlashAdapter::Channel {
    mutable std::mutex mutex;
    std::condition_variable wake;
    TarrowindFirmware *client = nullptr;
    std::vector<QMetaObject::Connection> connections;
    bool replyArrived = true;
    bool aborted = false;
    uint16_t status = kStatusNotMounted;
    uint16_t pendingId = 0;
    // Patch level of the client, read on the client's thread (identity updates arrive there).
    bool patchLevelKnown = false;
    uint32_t patchLevel = 0;
    std::array<uint8_t, Geo::kSectorSize> sectorReply{};
    std::array<uint8_t, Geo::kPageSize> pageReply{};
    std::map<uint32_t, std::array<uint8_t, Geo::kSectorSize>> cache;

    // Caller holds the mutex.
    void finish(uint16_t newStatus)
    {
        status = newStatus;
        replyArrived = true;
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
    // Only the reply carrying the pending id counts: a late answer to an abandoned request
    // must not satisfy the current one.
    template <size_t N>
    void reply(uint16_t id, uint16_t replyStatus, const QByteArray &data, std::array<uint8_t, N> &buffer)
    {
        std::lock_guard<std::mutex> l(mutex);
        if (id != pendingId || replyArrived)
            return;
        std::memcpy(buffer.data(), data.constData(), std::min<size_t>(size_t(data.size()), N));
        finish(replyStatus);
    }
    void requestEnded(uint16_t id, int outcome)
    {
        if (outcome == 0)  // handled: its result signal has delivered the data already
            return;
        std::lock_guard<std::mutex> l(mutex);
        if (id != pendingId || replyArrived)
            return;
        finish(kStatusHwFailure);
    }
};

RemoteFlashAdapter::RemoteFlashAdapter(QObject *parent) : QObject(parent), m_channel(std::make_shared<Channel>())
{
}

RemoteFlashAdapter::~RemoteFlashAdapter()
{
    std::unique_lock<std::mutex> lock(m_channel->mutex);
    m_channel->dropClient();
    m_channel->aborted = true;
    m_channel->finish(kStatusNotMounted);
    m_channel->cache.clear();
}

void RemoteFlashAdapter::setClient(TarrowindFirmware *client)
{
    std::shared_ptr<Channel> ch = m_channel;
    std::unique_lock<std::mutex> lock(ch->mutex);
    if (ch->client) {
        ch->dropClient();
        ch->finish(kStatusNotMounted);
    }
    ch->client = client;
    if (!client)
        return;
    auto &c = ch->connections;
    c.push_back(connect(
        client, &TarrowindFirmware::recvFlashRead528Result, client,
        crossThread([ch](uint16_t id, uint32_t, Network::ReadStatus status, QByteArray data) {
            ch->reply(id, uint16_t(status), data, ch->sectorReply);
        }),
        Qt::DirectConnection));
    c.push_back(connect(
        client, &TarrowindFirmware::recvFlashReadPageResult, client,
        crossThread([ch](uint16_t id, uint32_t, Network::ReadStatus status, QByteArray data) {
            ch->reply(id, uint16_t(status), data, ch->pageReply);
        }),
        Qt::DirectConnection));
    c.push_back(connect(
        client, &TarrowindFirmware::packetFinished, client,
        crossThread([ch](uint16_t id, PacketOutcome outcome) { ch->requestEnded(id, int(outcome)); }),
        Qt::DirectConnection));
    // The client's members are gone by the time `destroyed` is emitted: forget it at once so
    // no read touches it again, and release a read that waits for it.
    c.push_back(connect(client, &QObject::destroyed, client,
                        crossThread([ch]() {
                            std::lock_guard<std::mutex> l(ch->mutex);
                            ch->dropClient();
                            ch->finish(kStatusNotMounted);
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
    m_channel->finish(status);
}

void RemoteFlashAdapter::rearm()
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    m_channel->aborted = false;
}

size_t RemoteFlashAdapter::cachedSectorCount() const
{
    std::lock_guard<std::mutex> l(m_channel->mutex);
    return m_channel->cache.size();
}

void RemoteFlashAdapter::handleFlashRead528Result(uint16_t requestId, uint32_t, uint16_t status,
                                                  const QByteArray &data)
{
    m_channel->reply(requestId, status, data, m_channel->sectorReply);
}

void RemoteFlashAdapter::handleFlashReadPageResult(uint16_t requestId, uint32_t, uint16_t status,
                                                   const QByteArray &data)
{
    m_channel->reply(requestId, status, data, m_channel->pageReply);
}

void RemoteFlashAdapter::handlePacketFinished(uint16_t requestId, int outcome)
{
    m_channel->requestEnded(requestId, outcome);
}

namespace {
// Starts one request on the client's thread and waits for its end; the mutex is held on entry
// and on return. A request the client refuses to send (id 0: no device, not connected) would
// never be answered, so its wait is ended as a failure right there.
void requestAndWait(const std::shared_ptr<RemoteFlashAdapter::Channel> &ch, std::unique_lock<std::mutex> &lock,
                    std::function<uint16_t(TarrowindFirmware *, uint16_t)> send)
{
    TarrowindFirmware *client = ch->client;
    ch->replyArrived = false;
    const uint16_t id = client->nextRequestId();
    ch->pendingId = id;
    QMetaObject::invokeMethod(
        client,
        crossThread([ch, client, id, send]() {
            if (send(client, id) != 0)
                return;
            std::lock_guard<std::mutex> l(ch->mutex);
            if (ch->pendingId == id && !ch->replyArrived)
                ch->finish(RemoteFlashAdapter::kStatusHwFailure);
        }),
        Qt::QueuedConnection);
    ch->wake.wait(lock, [&] { return ch->replyArrived; });
}
}  // namespace

FlashReadResult RemoteFlashAdapter::read528(uint32_t sector, uint8_t *dst528)
{
    std::shared_ptr<Channel> ch = m_channel;
    std::unique_lock<std::mutex> lock(ch->mutex);
    if (!ch->client || ch->aborted)
        return FlashReadResult::Failed;
    auto cached = ch->cache.find(sector);
    if (cached != ch->cache.end()) {
        std::memcpy(dst528, cached->second.data(), Geo::kSectorSize);
        return FlashReadResult::Ok;
    }
    requestAndWait(ch, lock, [sector](TarrowindFirmware *client, uint16_t id) {
        return client->sendFlashRead528(id, sector);
    });
    if (readStatusHasData(ch->status)) {
        std::memcpy(dst528, ch->sectorReply.data(), Geo::kSectorSize);
        ch->cache[sector] = ch->sectorReply;
    }
    return flashReadResultFromStatus(ch->status);
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

    if (ch->patchLevel <= kLastSectorOnlyPatchLevel) {
        lock.unlock();
        FlashReadResult worst = FlashReadResult::Ok;
        for (uint32_t n = 0; n < Geo::kSectorsPerPage; ++n)
            worst = worstOf(worst, read528(page * Geo::kSectorsPerPage + n, dst2112 + n * Geo::kSectorSize));
        Geo::sectorToDeviceLayout(dst2112);
        return worst;
    }

    uint16_t status = 0;
    uint32_t n = 0;
    for (; n < Geo::kSectorsPerPage; ++n) {
        auto cached = ch->cache.find(page * Geo::kSectorsPerPage + n);
        if (cached == ch->cache.end())
            break;
        std::memcpy(dst2112 + n * Geo::kSectorSize, cached->second.data(), Geo::kSectorSize);
    }
    if (n < Geo::kSectorsPerPage) {
        requestAndWait(ch, lock, [page, nextPageHint](TarrowindFirmware *client, uint16_t id) {
            return client->sendFlashReadPage(id, page, uint8_t(1), nextPageHint);
        });
        status = ch->status;
        if (readStatusHasData(status)) {
            std::memcpy(dst2112, ch->pageReply.data(), Geo::kPageSize);
            Geo::deviceToSectorLayout(dst2112);
            for (uint32_t k = 0; k < Geo::kSectorsPerPage; ++k)
                std::memcpy(ch->cache[page * Geo::kSectorsPerPage + k].data(), dst2112 + k * Geo::kSectorSize,
                            Geo::kSectorSize);
        }
    }
    Geo::sectorToDeviceLayout(dst2112);
    return flashReadResultFromStatus(status);
}

