#pragma once

#include <cstdint>
#include <QByteArray>
#include <QString>
#include <set>
#include <vector>

class VirtualFlash;

// Writes the logger's log-structured filesystem onto a VirtualFlash the way the device's
// firmware does: one circular stream of 528-byte records (520 payload bytes, u32 record id,
// u32 CRC) running forward through every block except the four reserved ones (two spare blocks
// and the page-map blocks A and B), erasing each block as the stream enters it and skipping
// pages whose map bit is cleared.
//
// State records (a FilesystemState at the start of the payload, record id kStateRecordId) are
// written into the same stream whenever a file is opened or closed and on commit; each names the
// sector of the previous one and carries a larger sequence number. The current (live) state, the
// one the device reports, is not written until the next commit: its head is the next write
// position and it links to the last state record on the flash.
//
// A file's records lie between the state record that opened it (its start sector) and the one
// that closed it (its end sector). Not thread-safe.
class FlashFilesystemWriter
{
public:
    static constexpr uint32_t kStateMagic = 0xDA8B9265u;
    static constexpr uint16_t kLayoutVersion = 1;
    static constexpr uint32_t kStateRecordId = 0;  // file ids start at 1
    static constexpr int kStateSize = 246;
    static constexpr int kExportSize = 528;
    static constexpr int kPayloadSize = 520;
    static constexpr int kFileSlots = 4;
    static constexpr int kFileRecordSize = 48;
    static constexpr int kMapPagesPerBlock = 8;
    static constexpr uint32_t kPagesPerMapPage = 16384;
    static constexpr uint32_t kFileTypePulseLog = 1;
    static constexpr uint32_t kNoSector = 0xFFFFFFFFu;

    // Mount status at the start of the state export.
    enum MountStatus { Mount_Mounted = 1, Mount_NoFilesystem = 2, Mount_HardwareError = 3, Mount_Inconsistent = 4 };

    struct Layout {
        uint32_t reservedBlock1 = 0;
        uint32_t reservedBlock2 = 1;
        uint32_t mapBlockA = 2;
        uint32_t mapBlockB = 3;
    };

    struct FileInfo {
        uint32_t id = 0;
        QString name;
        uint32_t type = kFileTypePulseLog;
        int slot = -1;
        bool open = true;
        uint32_t startSector = kNoSector;  // the state record that opened the file
        uint32_t endSector = kNoSector;    // the state record that closed it (kNoSector while open)
        std::vector<uint32_t> recordSectors;
        std::vector<QByteArray> payloads;  // 520 bytes each, in write order
    };

    struct StateRecordInfo {
        uint32_t sector = 0;
        uint64_t sequence = 0;
    };

    enum class ChainBreak {
        BadCrc,         // a torn write: the CRC no longer matches
        StaleSequence,  // a valid record whose sequence number is not older than its successor's
        BadMagic,       // a valid record that is not a filesystem state
    };

    explicit FlashFilesystemWriter(VirtualFlash *flash);

    // Erases the flash and writes an empty filesystem: both page maps (unusable pages cleared)
    // and a first state record at `firstSector` (by default the first sector after the
    // reserved blocks), which must not lie in a reserved block. False for a bad layout (blocks
    // out of range or not distinct) or start.
    bool format(const Layout &layout, uint32_t firstSector = kNoSector);
    bool format();  // the default layout (blocks 0 to 3 reserved) and start
    bool isFormatted() const { return m_formatted; }
    const Layout &layout() const { return m_layout; }
    bool isReservedBlock(uint32_t block) const;

    // Clears the page's bit in both page maps; the stream never places a record there again.
    // May be called before format (the bits are then cleared when the maps are written).
    void markPageUnusable(uint32_t pageIndex);
    const std::set<uint32_t> &unusablePages() const { return m_unusable; }

    // Opens a file in a free slot and records the new state; returns its id, 0 when no slot is
    // free, the filesystem is not formatted or the flash is full. Names longer than 32 bytes of
    // UTF-8 are cut.
    uint32_t openFile(const QString &name, uint32_t type = kFileTypePulseLog);
    // Closes an open file and records the new state.
    bool closeFile(uint32_t fileId);
    // Closes a file and opens the next one in its slot with one state record.
    uint32_t closeAndOpen(uint32_t closingId, const QString &name, uint32_t type = kFileTypePulseLog);
    // Appends one record (payload of exactly 520 bytes) to an open file. Returns its sector, or
    // kNoSector when the file is not open, the payload has the wrong size or the flash is full.
    uint32_t appendRecord(uint32_t fileId, const QByteArray &payload);
    // Writes the live state as a state record (a checkpoint).
    bool commit();

    // The live FilesystemState (246 bytes) and the 528-byte export the device answers to a
    // state request (mount status, state, two device values, zero padding).
    QByteArray liveState() const;
    QByteArray stateExport() const;

    uint32_t head() const { return m_head; }
    uint32_t lastStateSector() const { return m_lastState; }
    // Sectors the head has moved over since the format (reserved blocks not counted).
    uint64_t sectorsConsumed() const { return m_consumed; }
    // Sectors of the stream that can hold records (reserved blocks and unusable pages left out).
    uint64_t usableSectors() const { return m_usableSectors; }
    // Share of the usable stream consumed since the format, on the logger's own fixed-point
    // scale as its statistics report it: 0..65535 for 0..100 %.
    uint16_t percentUsed() const;
    const std::vector<FileInfo> &files() const { return m_files; }
    const FileInfo *file(uint32_t fileId) const;
    const std::vector<StateRecordInfo> &stateRecords() const { return m_stateRecords; }

    // Fault injection on a written record: the CRC no longer matches its contents.
    bool corruptRecordCrc(uint32_t sector);
    // Fault injection on a state record (a sector listed in stateRecords()).
    bool breakStateRecord(uint32_t sector, ChainBreak how);

    // A complete 528-byte record: payload (520 bytes), record id and CRC.
    static QByteArray makeRecord(const QByteArray &payload, uint32_t recordId);
    // The record CRC: packetCrc32 over bytes 0..521 from 0, continued over bytes 520..523.
    static uint32_t recordCrc(const QByteArray &record);
    // True when the stored CRC of a 528-byte record matches its contents.
    static bool recordCrcValid(const QByteArray &record);

private:
    bool sectorUsable(uint32_t sector) const;
    void normaliseHead();
    void advanceHead();
    bool hasRoom(uint32_t sectors) const;
    bool writeAtHead(const QByteArray &record);
    bool writeStateRecord();
    void writeMaps();
    int freeSlot(uint32_t preferred) const;
    FileInfo *openFileInfo(uint32_t fileId);

    VirtualFlash *m_flash;
    Layout m_layout;
    bool m_formatted = false;
    std::set<uint32_t> m_unusable;

    uint32_t m_head = 0;
    uint32_t m_lastState = 0;
    uint32_t m_currentBlock = 0xFFFFFFFFu;
    uint64_t m_sequence = 0;  // of the last state record written
    uint64_t m_consumed = 0;
    uint64_t m_usableSectors = 0;
    uint32_t m_nextFileId = 1;
    uint32_t m_recordsWritten = 0;
    int m_slots[kFileSlots] = {-1, -1, -1, -1};  // index into m_files, or -1

    std::vector<FileInfo> m_files;
    std::vector<StateRecordInfo> m_stateRecords;
};
