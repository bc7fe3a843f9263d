#pragma once

#include "DataBlock.h"
#include "FilesystemState.h"
#include "FlashReadResult.h"
#include "PlannedPageRead.h"
#include "SectorCursor.h"
#include "SessionEntry.h"

#include "pulselog/PulseBlockDecoder.h"

#include <cstring>
#include <functional>
#include <map>
#include <QByteArray>
#include <QDateTime>
#include <QDebug>
#include <QThread>
#include <utility>
#include <vector>

// The logger's log-structured filesystem as seen from the host: the imported state, the page
// map, the reserved blocks, forward and backward iteration over one file's records, the scan
// of the state chain for closed files and the session time scan.
//
// `Adapter` is the page reader the filesystem is built on and derives from; it provides
//   FlashReadResult read528(uint32_t sector, uint8_t *dst528);
//   FlashReadResult readPage(uint32_t page, uint8_t *dst2112, uint32_t nextPageHint);
//   void readAhead(const std::vector<PlannedPageRead> &pages);  // where a forward walk goes
//   static constexpr uint32_t kReadAheadPages;
// (pages in device layout). Runs entirely on one thread.
template <typename Params, typename Adapter> class SpiFlashFilesystem : public Adapter
{
public:
    using Geometry = Params;
    static constexpr int kExportSize = 258;  // the part of the 528-byte state export the host reads
    static constexpr uint32_t kPagesPerMapPage = Params::kPageDataSize * 8;  // 16384
    static constexpr uint32_t kMapPagesPerBlock = 8;
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    // What a scan reports back to its driver.
    struct ScanHooks {
        std::function<bool()> cancelled;                                // may be empty
        std::function<void(const RemoteFilesystemSessionPtr &)> found;  // each published session
        QThread *sessionThread = nullptr;                               // thread the published session objects move to
        std::function<void(const RemoteFilesystemSessionPtr &, QDateTime, QDateTime)> times;
    };

    template <typename... Args> explicit SpiFlashFilesystem(Args &&...args) : Adapter(std::forward<Args>(args)...) {}

    int32_t mountStatus() const { return m_mountStatus; }
    const FilesystemState &state() const { return m_state; }
    int32_t exportValue1() const { return m_export1; }
    int32_t exportValue2() const { return m_export2; }

    // Imports the state export; returns true when the filesystem is mounted (status 1).
    bool importState(const QByteArray &exportBytes, QString *message)
    {
        m_state = FilesystemState();
        m_export1 = m_export2 = 0;
        m_cachedPage = kNone;
        m_mapPageHeld = kNone;
        m_mountStatus = 0;
        QString msg;
        bool headerOk = false;
        if (exportBytes.size() >= kExportSize) {
            const auto *p = reinterpret_cast<const uint8_t *>(exportBytes.constData());
            std::memcpy(&m_mountStatus, p, 4);
            m_state = FilesystemState::parse(p + 4);
            std::memcpy(&m_export1, p + 250, 4);
            std::memcpy(&m_export2, p + 254, 4);
            headerOk = m_state.hasValidHeader();
        }
        if (headerOk) {
            switch (m_mountStatus) {
            case 2:
                msg = QStringLiteral("Filesystem could not be found.");
                break;
            case 3:
                msg = QStringLiteral("Hardware or communication error.");
                break;
            case 4:
                msg = QStringLiteral("Filesystem is inconsistent.");
                break;
            default:
                break;
            }
        } else {
            m_state = FilesystemState();
            m_mountStatus = 4;
            msg = QStringLiteral("Filesystem state import failed (old version?)");
        }
        qInfo() << "Filesystem import status :" << m_mountStatus << msg;
        if (message)
            *message = msg;
        return m_mountStatus == 1;
    }

    bool isReservedBlock(uint32_t block) const { return m_state.isReservedBlock(block); }

    // One step forwards / backwards, skipping reserved blocks.
    uint32_t sectorAfter(uint32_t s) const
    {
        s = Params::nextSector(s);
        uint32_t b = Params::blockOfSector(s);
        for (uint32_t guard = 0; isReservedBlock(b) && guard < Params::kBlockCount; ++guard) {
            b = Params::nextBlock(b);
            s = b * Params::kSectorsPerBlock;
        }
        return s;
    }
    uint32_t sectorBefore(uint32_t s) const
    {
        s = Params::previousSector(s);
        uint32_t b = Params::blockOfSector(s);
        for (uint32_t guard = 0; isReservedBlock(b) && guard < Params::kBlockCount; ++guard) {
            b = Params::previousBlock(b);
            s = b * Params::kSectorsPerBlock + Params::kSectorsPerBlock - 1;
        }
        return s;
    }
    uint32_t pageAfter(uint32_t p) const
    {
        p = Params::nextPage(p);
        uint32_t b = Params::blockOfPage(p);
        for (uint32_t guard = 0; isReservedBlock(b) && guard < Params::kBlockCount; ++guard) {
            b = Params::nextBlock(b);
            p = b * Params::kPagesPerBlock;
        }
        return p;
    }
    uint32_t pageBefore(uint32_t p) const
    {
        p = Params::previousPage(p);
        uint32_t b = Params::blockOfPage(p);
        for (uint32_t guard = 0; isReservedBlock(b) && guard < Params::kBlockCount; ++guard) {
            b = Params::previousBlock(b);
            p = b * Params::kPagesPerBlock + Params::kPagesPerBlock - 1;
        }
        return p;
    }

    StepResult nextDataBlock(SectorCursor &cursor, uint8_t *record) { return step(cursor, record, true); }
    StepResult previousDataBlock(SectorCursor &cursor, uint8_t *record) { return step(cursor, record, false); }

    // Walks the state chain backwards and publishes every closed file, newest first. Returns
    // false only when a read failed (not when cancelled).
    bool scanSessions(std::map<uint32_t, SessionEntry> &table, bool skipOpen, const ScanHooks &hooks)
    {
        auto cancelled = [&] { return hooks.cancelled && hooks.cancelled(); };
        const FilesystemState &current = m_state;
        auto isOpen = [&](uint32_t id) { return skipOpen && current.isOpen(id); };
        auto registerFile = [&](const FileRecord &f, uint32_t end) {
            if (cancelled())
                return false;
            SessionEntry e;
            e.endAddress = end;
            e.record = f;
            table[f.fileId] = e;
            return true;
        };
        auto publish = [&](const FileRecord &f, uint32_t start) {
            if (cancelled())
                return false;
            auto it = table.find(f.fileId);
            if (it == table.end())
                return true;
            SessionEntry &e = it->second;
            e.startAddress = start;
            const uint32_t end = e.endAddress;
            uint64_t span = uint64_t(end) - uint64_t(start);
            if (end < start)
                span = uint64_t(end) + Params::kSectorCount - uint64_t(start);
            const uint64_t size = (span + 2) * Params::kSectorSize;
            auto session =
                std::make_shared<RemoteFilesystemSession>(f.fileId, start, end, f.fileType, size, f.fileName());
            e.session = session;
            if (hooks.sessionThread)
                session->moveToThread(hooks.sessionThread);
            if (hooks.found)
                hooks.found(session);
            return true;
        };

        if (mountStatus() != 1)
            return false;
        for (const FileRecord &f : current.files) {
            if (f.inUse() && !registerFile(f, current.head))
                return true;
        }

        FilesystemState s = current;
        uint8_t buffer[DataBlock::kSize];
        while (s.previousRecord != 0) {
            // A link that points off the flash is as damaged as one with a bad CRC.
            if (s.previousRecord >= Params::kSectorCount)
                break;
            const FlashReadResult r = this->read528(s.previousRecord, buffer);
            if (r == FlashReadResult::Failed)
                return cancelled();
            if (r == FlashReadResult::Unreadable)
                break;
            if (DataBlock::isBlank(buffer, DataBlock::kPayloadSize) || !DataBlock::checkCrc(buffer))
                break;
            const FilesystemState b = FilesystemState::parse(buffer);
            if (b.magic != FilesystemState::kMagic || b.sequence >= s.sequence)
                break;
            for (int i = 0; i < FilesystemState::kFileSlots; ++i) {
                const FileRecord &sf = s.files[i];
                const FileRecord &bf = b.files[i];
                if (sf.inUse() && bf.inUse() && sf.fileId == bf.fileId)
                    continue;
                if (sf.inUse() && !isOpen(sf.fileId) && !publish(sf, s.head))
                    return true;
                if (bf.inUse() && !isOpen(bf.fileId) && !registerFile(bf, s.head))
                    return true;
            }
            s = b;
        }
        for (const FileRecord &f : s.files) {
            if (f.inUse() && !isOpen(f.fileId) && !publish(f, s.head))
                return true;
        }
        return true;
    }

    // First and last time of one data record; null times when it is neither a pulse block nor
    // a timestamped record.
    static std::pair<QDateTime, QDateTime> sessionTimes(const uint8_t *record)
    {
        PulseBlock block;
        const auto result =
            PulseBlockDecoder::decode(reinterpret_cast<const char *>(record), DataBlock::kPayloadSize, block);
        if (result == PulseBlockDecoder::Result::Decoded) {
            const qint64 first = block.baseTime / 1000000;
            const qint64 last = block.outputs.empty() ? first : block.outputs.back().time / 1000000;
            return {QDateTime::fromMSecsSinceEpoch(first), QDateTime::fromMSecsSinceEpoch(last)};
        }
        uint32_t magic;
        std::memcpy(&magic, record, 4);
        if (magic == 0x2B947815u && record[4] == 0) {
            int64_t nanos;
            std::memcpy(&nanos, record + 8, 8);
            const QDateTime t = QDateTime::fromMSecsSinceEpoch(nanos / 1000000);
            return {t, t};
        }
        return {QDateTime(), QDateTime()};
    }

    // Start and end time of every published pulse-log session, newest (highest id) first.
    void scanTimes(std::map<uint32_t, SessionEntry> &table, const ScanHooks &hooks)
    {
        auto cancelled = [&] { return hooks.cancelled && hooks.cancelled(); };
        uint8_t record[DataBlock::kSize];
        for (auto it = table.rbegin(); it != table.rend(); ++it) {
            SessionEntry &e = it->second;
            if (e.record.fileType != FileRecord::kTypePulseLog || e.startAddress == SessionEntry::kUnknownAddress ||
                !e.session)
                continue;
            QDateTime start, end;
            if (!cancelled()) {
                SectorCursor forward{it->first, e.startAddress, e.endAddress, false};
                StepResult r;
                while ((r = nextDataBlock(forward, record)) == StepNewPage) {
                }
                if (r == StepFound)
                    start = sessionTimes(record).first;
            }
            if (!cancelled()) {
                SectorCursor backward{it->first, e.endAddress, e.startAddress};
                StepResult r;
                while ((r = previousDataBlock(backward, record)) == StepNewPage) {
                }
                if (r == StepFound)
                    end = sessionTimes(record).second;
            }
            if (hooks.times)
                hooks.times(e.session, start, end);
        }
    }

    // Loads a page into the page cache through the page map. `Unreadable` when the map marks
    // it unusable (then nothing is requested) or the flash could not read it.
    FlashReadResult loadPage(uint32_t page, uint32_t hint)
    {
        if (page == m_cachedPage)
            return FlashReadResult::Ok;
        const uint32_t mapPage = page / kPagesPerMapPage;
        if (mapPage != m_mapPageHeld) {
            const uint32_t mapBlock = m_useMapB ? m_state.mapBlockB : m_state.mapBlockA;
            m_useMapB = !m_useMapB;
            FlashReadResult r = FlashReadResult::Unreadable;
            // A map block off the flash cannot be asked for; its page counts as unreadable.
            if (mapBlock < Params::kBlockCount)
                r = this->readPage(mapBlock * Params::kPagesPerBlock + mapPage, m_mapBuffer, Params::kNoPage);
            if (r == FlashReadResult::Failed)
                return r;
            if (r == FlashReadResult::Unreadable)
                std::memset(m_mapBuffer, 0xFF, sizeof m_mapBuffer);
            m_mapPageHeld = mapPage;
        }
        const uint32_t bit = page % kPagesPerMapPage;
        if ((m_mapBuffer[bit / 8] & (1u << (bit % 8))) == 0)
            return FlashReadResult::Unreadable;
        const FlashReadResult r = this->readPage(page, m_pageBuffer, hint);
        if (r == FlashReadResult::Unreadable || r == FlashReadResult::Failed) {
            m_cachedPage = kNone;
        } else {
            Params::deviceToSectorLayout(m_pageBuffer);
            m_cachedPage = page;
        }
        return r;
    }

private:
    // The pages a forward walk from `page` reads before it reaches `stop`, each with the hint its
    // read carries, as far as the page map held tells: pages whose map bit is cleared are never
    // asked for, and the list ends where the walk will need another map page.
    std::vector<PlannedPageRead> pagesAhead(uint32_t page, uint32_t stop) const
    {
        std::vector<PlannedPageRead> out;
        const uint32_t stopPage = Params::pageOfSector(stop);
        // A stop on the first sector of its page ends the walk before that page is read.
        const bool stopPageRead = stop % Params::kSectorsPerPage != 0;
        uint32_t p = page;
        for (uint32_t guard = 0; out.size() < Adapter::kReadAheadPages && guard < 4 * Adapter::kReadAheadPages;
             ++guard) {
            if ((p == stopPage && !stopPageRead) || p / kPagesPerMapPage != m_mapPageHeld)
                break;
            const uint32_t bit = p % kPagesPerMapPage;
            if (m_mapBuffer[bit / 8] & (1u << (bit % 8))) {
                const uint32_t neighbour = pageAfter(p);
                out.push_back({p, neighbour == stopPage ? Params::kNoPage : neighbour});
            }
            if (p == stopPage)
                break;
            p = pageAfter(p);
        }
        return out;
    }

    // Moves a position that sits inside a reserved block on to the first usable sector in the
    // direction of travel, as a step into that block would.
    uint32_t normalise(uint32_t s, bool forward) const
    {
        if (s >= Params::kSectorCount)
            s %= Params::kSectorCount;
        if (!isReservedBlock(Params::blockOfSector(s)))
            return s;
        return forward ? sectorAfter(Params::blockOfSector(s) * Params::kSectorsPerBlock + Params::kSectorsPerBlock - 1)
                       : sectorBefore(Params::blockOfSector(s) * Params::kSectorsPerBlock);
    }

    StepResult step(SectorCursor &cursor, uint8_t *record, bool forward)
    {
        if (m_mountStatus != 1)
            return StepFailed;
        // A stop that no step can land on (reserved, off the flash) would never end the walk.
        cursor.current = normalise(cursor.current, forward);
        cursor.stop = normalise(cursor.stop, forward);
        // Checked before loading: an unreadable page at the stop must not carry the cursor past it.
        if (cursor.current == cursor.stop)
            return StepEnd;
        const uint32_t page = Params::pageOfSector(cursor.current);
        const uint32_t neighbour = forward ? pageAfter(page) : pageBefore(page);
        const uint32_t hint = neighbour == Params::pageOfSector(cursor.stop) ? Params::kNoPage : neighbour;
        if (forward && cursor.readAhead)
            this->readAhead(pagesAhead(page, cursor.stop));
        const FlashReadResult r = loadPage(page, hint);
        if (r == FlashReadResult::Failed)
            return StepFailed;
        if (r == FlashReadResult::Unreadable) {
            cursor.current = forward ? sectorAfter(cursor.current) : sectorBefore(cursor.current);
            return StepSkipped;
        }
        for (;;) {
            if (cursor.current == cursor.stop)
                return StepEnd;
            if (Params::pageOfSector(cursor.current) != m_cachedPage)
                return StepNewPage;
            const uint8_t *sector = m_pageBuffer + (cursor.current % Params::kSectorsPerPage) * Params::kSectorSize;
            cursor.current = forward ? sectorAfter(cursor.current) : sectorBefore(cursor.current);
            if (DataBlock::isBlank(sector, DataBlock::kSize))
                continue;
            if (!DataBlock::checkCrc(sector))
                return StepSkipped;
            if (DataBlock::recordId(sector) == cursor.fileId) {
                std::memcpy(record, sector, DataBlock::kSize);
                return StepFound;
            }
        }
    }

    int32_t m_mountStatus = 0;
    FilesystemState m_state;
    int32_t m_export1 = 0;
    int32_t m_export2 = 0;
    uint32_t m_cachedPage = kNone;
    uint32_t m_mapPageHeld = kNone;
    bool m_useMapB = false;
    uint8_t m_mapBuffer[Params::kPageSize] = {};
    uint8_t m_pageBuffer[Params::kPageSize] = {};
};
