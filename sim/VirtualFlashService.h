#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <QByteArray>
#include <QString>
#include <vector>

#include "FlashFilesystemWriter.h"
#include "VirtualFlash.h"
#include "WaterUseProfile.h"

// The flash side of the virtual logger: it owns the NAND, writes a seeded scenario of logging
// sessions onto it, and answers the flash requests of the packet protocol:
//
//   C2S_FlashGetState    -> S2C_FlashGetStateResult (the 528-byte state export)
//   C2S_FlashRead528     -> S2C_FlashRead528Result (plain sector)
//   C2S_FlashReadLz528   -> S2C_FlashReadLz528Result (FastLZ level 1), patch level 4162 and later
//   C2S_FlashReadPage    -> S2C_FlashReadPageResult (FastLZ when asked), patch level above 4251
//   C2S_FlashCreate      -> S2C_FlashCreateAck, S2C_FlashCreateProgress..., S2C_FlashCreateResult
//   C2S_FlashCommitNow   -> S2C_FlashCommitNowAck (the live state is written as a state record)
//
// A create erases the flash and writes a fresh filesystem holding one open, empty session; the
// unusable pages and page statuses stay, as they belong to the chip.
//
// Requests a firmware version does not know get no answer, as on the device. While a create runs,
// reads answer with status Busy. A compressed reply falls back to plain bytes (flag 0) when
// compression would not make it smaller. Failed reads (ReadFailure, HwFailure, Busy, BadRequest)
// carry 528 bytes of 0xFF in the fixed sector reply and no data in the variable ones.
//
// It also keeps request counters and the ground truth (what each session holds) for tests, and
// offers fault knobs. All public members are thread-safe; the send callback is never called with
// the internal lock held.
class VirtualFlashService
{
public:
    // Sends one complete, sealed packet `delayMs` milliseconds after the call (0 = now). Packets
    // of one request are handed over in the order they must arrive.
    using SendFunction = std::function<void(const QByteArray &packet, int delayMs)>;

    struct Scenario {
        uint32_t seed = 1;
        int closedSessions = 3;
        double minSessionDays = 2.0;  // each closed session logs for a seeded length in this range
        double maxSessionDays = 4.0;
        double openSessionHours = 18;  // the open (current) session's length so far
        int blockMinutes = 15;         // a pulse block is closed at least this often
        int commitEveryRecords = 64;   // checkpoint state records while a file is open
        // Pulse-block kind of every session (0, 1 or 2); -1 mixes them: the newest sessions use
        // kind 2, older ones kinds 1 and 0, as after firmware updates.
        int blockKind = -1;
        bool leak = false;     // the household's constant drip
        bool flapper = false;  // the household's leaking toilet flapper
        double litresPerPulse = 0.025;
        // Place the stream so that the middle closed session runs past the end of the flash.
        bool wrapAround = false;
        // Pages inside closed sessions (one per session, from the oldest) whose map bit the
        // device cleared before writing there; no record is ever stored on them.
        int unusablePages = 0;
        int64_t startTimeMs = 1772323200000;  // 2026-03-01 00:00 UTC, first session's start
        int utcOffsetMinutes = 60;
        // Every session's name on the flash; empty for names made from the start time.
        QString sessionName;
    };

    struct Timing {
        int sectorReadMs = 0;    // reply delay of a sector read
        int pageReadMs = 0;      // reply delay of a page read that was not announced
        int preparedPageMs = 0;  // reply delay of a page named as "next" by the previous read
        int createStepMs = 25;   // between progress packets of a create
        int createSteps = 8;
    };

    struct SessionTruth {
        uint32_t index = 0;  // the file id
        QString name;
        uint32_t fileType = FlashFilesystemWriter::kFileTypePulseLog;
        uint32_t startSector = 0;
        uint32_t endSector = 0;  // the live head for the open session
        bool open = false;
        // Closed and reachable through the state chain as it stands on the flash (links broken
        // by damage or unreadable pages end the walk): a session scan lists it.
        bool listed = false;
        // The start a scan reports: the opening state record, or the oldest state record the
        // walk reached when the opening one lies beyond a broken link. Records before it are not
        // part of a download.
        uint32_t scanStartSector = 0;
        std::vector<QByteArray> records;      // 520-byte payloads in write order
        std::vector<uint32_t> recordSectors;  // where each one lies
        // Whether a download can deliver each record (its page readable, its map bit set, its
        // CRC intact, not before scanStartSector). The download of a session with any HwFailure
        // page fails.
        std::vector<bool> recordReadable;
        bool hasHwFailure = false;
        std::vector<uint32_t> unusablePages;  // pages inside [start, end) with a cleared map bit
        int64_t firstTimeMs = 0;              // base time of the first record
        int64_t lastTimeMs = 0;               // last pulse of the last record (its base time if none)
        // Every use of water the session logged, clipped to [firstTimeMs, lastTimeMs + 100 ms);
        // empty after a create.
        std::vector<WaterUseProfile::UseInstance> uses;
        bool wraps() const { return !open && endSector < startSector; }
        // The raw log file contents: every payload in order.
        QByteArray rawLog() const;
        // The payloads a correct download delivers: the readable records in order.
        std::vector<QByteArray> expectedDownload() const;
    };

    struct GroundTruth {
        std::vector<SessionTruth> sessions;  // by index, oldest first; the open one last
        QByteArray stateExport;              // 528 bytes, as answered to C2S_FlashGetState
        uint64_t sectorsConsumed = 0;        // of the stream since the format
        uint64_t usableSectors = 0;
        uint16_t percentUsed = 0;  // as the statistics report it, 0..65535
        const SessionTruth *session(uint32_t index) const;
        std::vector<const SessionTruth *> closedSessions() const;
    };

    struct Stats {
        uint16_t percentUsed = 0;
        uint32_t openSessionIndex = 0;
        uint32_t unusablePageCount = 0;
    };

    VirtualFlashService();  // the default scenario
    explicit VirtualFlashService(const Scenario &scenario);
    ~VirtualFlashService();
    VirtualFlashService(const VirtualFlashService &) = delete;
    VirtualFlashService &operator=(const VirtualFlashService &) = delete;

    const Scenario &scenario() const { return m_scenario; }
    void setTiming(const Timing &timing);

    // True for the flash request types above.
    bool handles(uint16_t packetType) const;
    // Answers one complete, checksum-verified request. Returns false (and sends nothing) for a
    // type it does not handle, a packet of the wrong length, or a request the firmware of this
    // patch level does not know.
    bool handlePacket(const QByteArray &packet, uint32_t patchLevel, const SendFunction &send);

    // Requests seen, by address. A resend (same request id and address right after the first)
    // is not counted again.
    uint32_t sectorRequestCount(uint32_t sector) const;  // sector reads naming the sector
    uint32_t pageRequestCount(uint32_t page) const;      // page reads naming the page
    // How often the sector's bytes were sent: by sector reads plus page reads of its page.
    uint32_t sectorFetchCount(uint32_t sector) const;
    // Every sector sent more than once, with its count. Note that a page read sends all four
    // sectors of the page, also those the client already holds from sector reads (state records
    // read during a scan); a cache that works never repeats a request, which the next two show.
    std::map<uint32_t, uint32_t> sectorsFetchedMoreThanOnce() const;
    // Sectors named by more than one sector read, and pages by more than one page read.
    std::map<uint32_t, uint32_t> sectorsRequestedMoreThanOnce() const;
    std::map<uint32_t, uint32_t> pagesRequestedMoreThanOnce() const;
    uint32_t totalReadRequests() const;
    void resetCounters();

    // Fault knobs.
    void setPageStatus(uint32_t page, VirtualFlash::PageStatus status);
    // Gives the page of record `record` of a session a status; returns the page, or
    // 0xFFFFFFFF when there is no such record.
    uint32_t setRecordPageStatus(uint32_t sessionIndex, int record, VirtualFlash::PageStatus status);
    // Damages the CRC of one record of a session.
    bool corruptRecordCrc(uint32_t sessionIndex, int record);
    // Breaks the state record just before the one that opened the session: a scan then lists
    // this session and the newer closed ones only (the ground truth follows the flash).
    bool breakStateChainBefore(uint32_t sessionIndex, FlashFilesystemWriter::ChainBreak how);
    // Clears a page's map bit after the fact (records already there become unreachable).
    void clearMapBit(uint32_t page);

    Stats stats() const;
    GroundTruth groundTruth() const;
    // Writes session-<index>.rlog per closed session, flash-pages.bin, sessions.json, uses.json
    // and state-export.bin into `dir` (created if needed), each through a temporary file renamed
    // into place; session-<n>.rlog files of sessions that no longer exist are removed.
    //
    // flash-pages.bin: for every page not fully erased, ascending, the u32 page index
    // (little-endian) and the page's 2112 bytes in device layout (data, then spare).
    // sessions.json: {"sessions": [{"index", "name", "fileType", "startSector", "endSector",
    // "scanStartSector", "recordCount", "open", "listed", "startTimeMs", "endTimeMs", "rawLog"
    // (closed only)}],
    // "flashPages": "flash-pages.bin", "stateExport": "state-export.bin"}, oldest session first.
    // uses.json: [{"use": key, "start": ISO-8601 UTC with milliseconds, "end", "litres",
    // "session": index}] for every use of every closed session, by session, then by start.
    bool writeGroundTruth(const QString &dir, QString *error = nullptr) const;

    // A copy of one page in device layout (2112 bytes), for tests.
    QByteArray page(uint32_t pageIndex) const;

private:
    struct Reply {
        QByteArray packet;
        int delayMs;
    };
    struct EncodedSession {
        QString name;
        int kind = 2;
        bool combinedTransition = false;  // closed and next opened with one state record
        std::vector<QByteArray> payloads;
        int64_t firstTimeMs = 0;
        int64_t lastTimeMs = 0;
        std::vector<WaterUseProfile::UseInstance> uses;
    };

    void build();
    bool writeScenario(uint32_t firstSector, int wrapSession, uint64_t *consumedAtWrapPoint);
    std::vector<Reply> handleLocked(const QByteArray &packet, uint32_t patchLevel, bool *handled);
    bool busyLocked() const;
    bool countRequest(uint16_t type, uint16_t requestId, uint32_t address);
    // One request type each; the reads return false for a request they do not answer.
    uint16_t readStatusLocked(uint32_t page, bool inRangeAddress) const;
    bool readSectorLocked(const QByteArray &packet, uint16_t type, uint16_t requestId, uint32_t patchLevel,
                          std::vector<Reply> *out);
    bool readPageLocked(const QByteArray &packet, uint16_t requestId, uint32_t patchLevel, std::vector<Reply> *out);
    void createLocked(uint16_t requestId, std::vector<Reply> *out);
    GroundTruth groundTruthLocked() const;
    bool formatAfterCreate();

    Scenario m_scenario;
    Timing m_timing;
    mutable std::mutex m_mutex;
    std::unique_ptr<VirtualFlash> m_flash;
    std::unique_ptr<FlashFilesystemWriter> m_writer;
    std::vector<EncodedSession> m_encoded;
    // What each session of the scenario was encoded from (an index into m_encoded), by file id.
    std::map<uint32_t, size_t> m_encodedSessions;

    std::map<uint32_t, uint32_t> m_sectorRequests;
    std::map<uint32_t, uint32_t> m_pageRequests;
    uint32_t m_totalRequests = 0;
    uint16_t m_lastType = 0;
    uint16_t m_lastRequestId = 0;
    uint32_t m_lastAddress = 0xFFFFFFFFu;
    uint32_t m_preparedPage = 0xFFFFFFFFu;

    std::chrono::steady_clock::time_point m_busyUntil{};
    uint16_t m_createRequestId = 0;
};
