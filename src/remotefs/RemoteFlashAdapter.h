#pragma once

#include "EccParameters.h"
#include "FlashIO.h"
#include "FlashReadResult.h"

#include <QObject>
#include <cstdint>
#include <memory>

class TarrowindFirmware;

// Sector and page reads of the logger's flash for the filesystem's worker thread. Each read
// becomes a request queued to the protocol client on the client's thread; the worker then
// blocks until the client's reply handler (running on the client's thread) or an abort wakes
// it. Everything received is cached for the adapter's life.
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

    explicit RemoteFlashAdapter(QObject *parent = nullptr);
    ~RemoteFlashAdapter() override;

    // Any thread. Drops the old client's connections and wakes a read waiting on it.
    void setClient(TarrowindFirmware *client);
    TarrowindFirmware *client() const;

    // Worker thread; block until answered.
    FlashReadResult read528(uint32_t sector, uint8_t *dst528);
    FlashReadResult readPage(uint32_t page, uint8_t *dst2112, uint32_t nextPageHint);

    // Any thread: ends the pending wait with the given status. Every later read fails at once
    // until rearm() (a cancellation that lands between two reads must still stop the next one).
    void abortPending(uint16_t status = kStatusNotMounted);
    void rearm();

    size_t cachedSectorCount() const;

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
