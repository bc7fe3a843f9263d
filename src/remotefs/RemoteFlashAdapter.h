#pragma once

#include "EccParameters.h"
#include "FlashIO.h"
#include "FlashReadResult.h"
#include "PlannedPageRead.h"

#include <cstdint>
#include <memory>
#include <QObject>
#include <vector>

class TarrowindFirmware;

// Sector and page reads of the logger's flash for the filesystem's worker thread. Each read
// becomes a request queued to the protocol client on the client's thread; the worker then
// blocks until the client's reply handler (running on the client's thread) or an abort wakes
// it. What is received is cached, up to a bound (least recently used out), so that a long
// download does not keep the whole flash in memory.
//
// A walk that reads pages in order announces where it goes next (readAhead); the adapter then
// keeps the following reads requested while the current one is answered, so the line does not
// idle for the round trip between one answer and the next request. Reads are idempotent: a read
// answered ahead gives exactly the result, data and status the same read would have given on
// its own, and a read nobody ends up asking for is dropped unanswered.
class RemoteFlashAdapter : public QObject, public EccFlashIO
{
    Q_OBJECT
    Q_INTERFACES(EccFlashIO)

public:
    using Geometry = TC58CYG1S3HxAIDetail::EccParameters;
    static constexpr uint16_t kStatusNotMounted = 5;
    static constexpr uint16_t kStatusHwFailure = 2;
    // Patch levels up to this one read pages as four sector requests.
    static constexpr uint32_t kLastSectorOnlyPatchLevel = 4251;
    // How many pages ahead a walk announces, and how many requests may be unanswered at once.
    static constexpr uint32_t kReadAheadPages = 16;
    static constexpr uint32_t kMaxReadsInFlight = 64;
    // The unanswered requests hold about this much line time: enough to ride out a busy host,
    // little enough that the last of them is answered long before the client would resend it
    // (2.5 s for flash reads), and that a cancel leaves little behind on the line.
    static constexpr int64_t kReadAheadBudgetNs = 250'000'000;
    // One read stays requested ahead as long as two answers take no longer than this.
    static constexpr int64_t kSlowLineLimitNs = 1'000'000'000;

    // A full flash is ~277 MB; the filesystem's walks come back to recent pages only.
    static constexpr size_t kDefaultCacheBytes = size_t(64) << 20;

    explicit RemoteFlashAdapter(QObject *parent = nullptr);
    ~RemoteFlashAdapter() override;

    // Any thread. Drops the old client's connections and wakes a read waiting on it.
    void setClient(TarrowindFirmware *client);
    TarrowindFirmware *client() const;

    // Worker thread; block until answered.
    FlashReadResult read528(uint32_t sector, uint8_t *dst528);
    FlashReadResult readPage(uint32_t page, uint8_t *dst2112, uint32_t nextPageHint);

    // Worker thread, never blocks. The pages a walk reads from here on, in order, starting with
    // the next one it reads (only pages it will read; the first kReadAheadPages count). Reads in
    // flight for other pages are dropped, and the first of these are requested.
    void readAhead(const std::vector<PlannedPageRead> &pages);

    // Any thread: ends the pending wait with the given status and drops every read in flight.
    // Every later read fails at once until rearm() (a cancellation that lands between two reads
    // must still stop the next one).
    void abortPending(uint16_t status = kStatusNotMounted);
    void rearm();

    size_t cachedSectorCount() const;
    // Any thread. The most the cache holds, in bytes (whole sectors); a smaller bound drops the
    // least recently used sectors at once.
    void setCacheLimitBytes(size_t bytes);
    size_t cacheLimitBytes() const;
    // Requests sent and neither consumed nor dropped yet (answered or not).
    size_t readsInFlight() const;

    // Reply handlers; the client's signals reach them directly on the client's thread.
    void handleFlashRead528Result(uint16_t requestId, uint32_t offset528, uint16_t status, const QByteArray &data);
    void handleFlashReadPageResult(uint16_t requestId, uint32_t pageIndex, uint16_t status, const QByteArray &data);
    void handlePacketFinished(uint16_t requestId, int outcome);

    struct Channel;

private:
    // Shared with the connections' handlers, so a reply that races the adapter's destruction
    // still finds valid state.
    std::shared_ptr<Channel> m_channel;
};
