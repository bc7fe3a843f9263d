#include "FlashFilesystemWriter.h"

#include "network/PacketCrc32.h"
#include "VirtualFlash.h"

#include <cstring>

namespace {

void putU16(char *p, uint16_t v)
{
    p[0] = char(v);
    p[1] = char(v >> 8);
}

void putU32(char *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char(v >> (8 * i));
}

void putU64(char *p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = char(v >> (8 * i));
}

uint32_t getU32(const char *p)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(uint8_t(p[i])) << (8 * i);
    return v;
}

// Room kept free ahead of the head: entering a block erases it, so the stream must never come
// round to the block holding its oldest records.
constexpr int kMarginSectors = 2 * VirtualFlash::kSectorsPerBlock;

}  // namespace

FlashFilesystemWriter::FlashFilesystemWriter(VirtualFlash *flash) : m_flash(flash) {}

bool FlashFilesystemWriter::isReservedBlock(uint32_t block) const
{
    return block == m_layout.reservedBlock1 || block == m_layout.reservedBlock2 || block == m_layout.mapBlockA ||
           block == m_layout.mapBlockB;
}

bool FlashFilesystemWriter::sectorUsable(uint32_t sector) const
{
    const uint32_t page = sector / VirtualFlash::kSectorsPerPage;
    // Sector 0 would read as "no previous record" in a state link, so it is never used.
    return sector != 0 && !isReservedBlock(page / VirtualFlash::kPagesPerBlock) && m_unusable.count(page) == 0;
}

void FlashFilesystemWriter::normaliseHead()
{
    for (uint32_t guard = 0; guard < VirtualFlash::kSectorCount && !sectorUsable(m_head); ++guard) {
        const uint32_t block = m_head / VirtualFlash::kSectorsPerBlock;
        if (isReservedBlock(block)) {
            m_head = ((block + 1) % VirtualFlash::kBlockCount) * VirtualFlash::kSectorsPerBlock;
        } else {
            m_head = (m_head + 1) % VirtualFlash::kSectorCount;
            ++m_consumed;
        }
    }
}

void FlashFilesystemWriter::advanceHead()
{
    m_head = (m_head + 1) % VirtualFlash::kSectorCount;
    ++m_consumed;
    normaliseHead();
}

bool FlashFilesystemWriter::hasRoom(uint32_t sectors) const
{
    return m_consumed + sectors + kMarginSectors <= m_usableSectors;
}

bool FlashFilesystemWriter::writeAtHead(const QByteArray &record)
{
    if (!hasRoom(1))
        return false;
    const uint32_t block = m_head / VirtualFlash::kSectorsPerBlock;
    if (block != m_currentBlock) {
        m_flash->eraseBlock(block);
        m_currentBlock = block;
    }
    if (!m_flash->programSector(m_head, record))
        return false;
    ++m_recordsWritten;
    advanceHead();
    return true;
}

void FlashFilesystemWriter::writeMaps()
{
    for (uint32_t mapBlock : {m_layout.mapBlockA, m_layout.mapBlockB}) {
        for (int k = 0; k < kMapPagesPerBlock; ++k) {
            QByteArray page(VirtualFlash::kPageSize, char(0xFF));
            for (uint32_t bad : m_unusable) {
                if (bad / kPagesPerMapPage != uint32_t(k))
                    continue;
                const uint32_t bit = bad % kPagesPerMapPage;
                page[int(bit / 8)] = char(uint8_t(page[int(bit / 8)]) & ~(1u << (bit % 8)));
            }
            // A marker in the spare area tells a map page from an erased one.
            page[VirtualFlash::kPageDataSize + 0] = 'M';
            page[VirtualFlash::kPageDataSize + 1] = 'A';
            page[VirtualFlash::kPageDataSize + 2] = 'P';
            page[VirtualFlash::kPageDataSize + 3] = char(k);
            m_flash->programPage(mapBlock * VirtualFlash::kPagesPerBlock + uint32_t(k), page);
        }
    }
}

bool FlashFilesystemWriter::format()
{
    return format(Layout(), kNoSector);
}

bool FlashFilesystemWriter::format(const Layout &layout, uint32_t firstSector)
{
    const uint32_t blocks[] = {layout.reservedBlock1, layout.reservedBlock2, layout.mapBlockA, layout.mapBlockB};
    for (int i = 0; i < 4; ++i) {
        if (blocks[i] >= VirtualFlash::kBlockCount)
            return false;
        for (int j = 0; j < i; ++j) {
            if (blocks[i] == blocks[j])
                return false;
        }
    }
    m_layout = layout;
    if (firstSector == kNoSector) {
        firstSector = 0;
        while (isReservedBlock(firstSector / VirtualFlash::kSectorsPerBlock))
            firstSector += VirtualFlash::kSectorsPerBlock;
    }
    if (firstSector >= VirtualFlash::kSectorCount || isReservedBlock(firstSector / VirtualFlash::kSectorsPerBlock))
        return false;

    m_flash->eraseAll();
    m_files.clear();
    m_stateRecords.clear();
    for (int &s : m_slots)
        s = -1;
    m_sequence = 0;
    m_consumed = 0;
    m_lastState = 0;
    m_nextFileId = 1;
    m_recordsWritten = 0;
    m_usableSectors = uint64_t(VirtualFlash::kBlockCount - 4) * VirtualFlash::kSectorsPerBlock;
    for (uint32_t bad : m_unusable) {
        if (!isReservedBlock(bad / VirtualFlash::kPagesPerBlock))
            m_usableSectors -= VirtualFlash::kSectorsPerPage;
    }
    writeMaps();
    m_head = firstSector;
    m_currentBlock = firstSector / VirtualFlash::kSectorsPerBlock;
    normaliseHead();
    m_consumed = 0;
    m_formatted = true;
    return writeStateRecord();
}

void FlashFilesystemWriter::markPageUnusable(uint32_t pageIndex)
{
    if (pageIndex >= VirtualFlash::kPageCount || !m_unusable.insert(pageIndex).second)
        return;
    if (m_formatted) {
        if (!isReservedBlock(pageIndex / VirtualFlash::kPagesPerBlock))
            m_usableSectors -= VirtualFlash::kSectorsPerPage;
        // Programming can only clear bits, which is all a map update needs.
        const uint32_t k = pageIndex / kPagesPerMapPage;
        const uint32_t bit = pageIndex % kPagesPerMapPage;
        QByteArray update(VirtualFlash::kPageSize, char(0xFF));
        update[int(bit / 8)] = char(~(1u << (bit % 8)));
        for (uint32_t mapBlock : {m_layout.mapBlockA, m_layout.mapBlockB})
            m_flash->programPage(mapBlock * VirtualFlash::kPagesPerBlock + k, update);
        if (m_head / VirtualFlash::kSectorsPerPage == pageIndex)
            normaliseHead();
    }
}

QByteArray FlashFilesystemWriter::liveState() const
{
    char p[kStateSize] = {};
    putU32(p + 0, kStateMagic);
    putU16(p + 4, kLayoutVersion);
    putU64(p + 6, m_sequence + 1);
    putU32(p + 14, m_nextFileId);
    putU32(p + 18, m_head);
    putU32(p + 22, m_layout.reservedBlock1);
    putU32(p + 26, m_layout.reservedBlock2);
    putU32(p + 30, m_layout.mapBlockA);
    putU32(p + 34, m_layout.mapBlockB);
    putU32(p + 38, uint32_t(m_unusable.size()));
    putU32(p + 42, m_recordsWritten);
    putU32(p + 46, uint32_t(m_consumed));
    putU32(p + 50, m_lastState);
    for (int i = 0; i < kFileSlots; ++i) {
        if (m_slots[i] < 0)
            continue;
        const FileInfo &f = m_files[size_t(m_slots[i])];
        char *slot = p + 54 + i * kFileRecordSize;
        putU32(slot + 0, f.id);
        const QByteArray name = f.name.toUtf8().left(32);
        std::memcpy(slot + 4, name.constData(), size_t(name.size()));
        putU32(slot + 36, f.type);
        putU32(slot + 40, uint32_t(f.recordSectors.size()));
        slot[44] = 1;  // in use
    }
    return QByteArray(p, kStateSize);
}

QByteArray FlashFilesystemWriter::stateExport() const
{
    char e[kExportSize] = {};
    if (!m_formatted) {
        putU32(e, uint32_t(Mount_NoFilesystem));
        return QByteArray(e, kExportSize);
    }
    putU32(e, uint32_t(Mount_Mounted));
    const QByteArray s = liveState();
    std::memcpy(e + 4, s.constData(), size_t(s.size()));
    putU32(e + 250, percentUsed());
    putU32(e + 254, uint32_t(m_unusable.size()));
    return QByteArray(e, kExportSize);
}

uint16_t FlashFilesystemWriter::percentUsed() const
{
    if (m_usableSectors == 0)
        return 65535;
    const uint64_t scaled = m_consumed * 65535 / m_usableSectors;
    return uint16_t(scaled > 65535 ? 65535 : scaled);
}

bool FlashFilesystemWriter::writeStateRecord()
{
    if (!m_formatted)
        return false;
    const uint32_t at = m_head;
    QByteArray payload = liveState();
    payload.append(QByteArray(kPayloadSize - payload.size(), '\0'));
    if (!writeAtHead(makeRecord(payload, kStateRecordId)))
        return false;
    ++m_sequence;
    m_lastState = at;
    m_stateRecords.push_back({at, m_sequence});
    return true;
}

bool FlashFilesystemWriter::commit()
{
    return writeStateRecord();
}

int FlashFilesystemWriter::freeSlot(uint32_t preferred) const
{
    for (int i = 0; i < kFileSlots; ++i) {
        const int slot = int((preferred + uint32_t(i)) % kFileSlots);
        if (m_slots[slot] < 0)
            return slot;
    }
    return -1;
}

FlashFilesystemWriter::FileInfo *FlashFilesystemWriter::openFileInfo(uint32_t fileId)
{
    for (int i = 0; i < kFileSlots; ++i) {
        if (m_slots[i] >= 0 && m_files[size_t(m_slots[i])].id == fileId)
            return &m_files[size_t(m_slots[i])];
    }
    return nullptr;
}

const FlashFilesystemWriter::FileInfo *FlashFilesystemWriter::file(uint32_t fileId) const
{
    for (const FileInfo &f : m_files) {
        if (f.id == fileId)
            return &f;
    }
    return nullptr;
}

uint32_t FlashFilesystemWriter::openFile(const QString &name, uint32_t type)
{
    if (!m_formatted || !hasRoom(1))
        return 0;
    const int slot = freeSlot((m_nextFileId - 1) % kFileSlots);
    if (slot < 0)
        return 0;
    FileInfo f;
    f.id = m_nextFileId++;
    f.name = name;
    f.type = type;
    f.slot = slot;
    f.startSector = m_head;
    m_files.push_back(f);
    m_slots[slot] = int(m_files.size() - 1);
    if (!writeStateRecord()) {
        m_slots[slot] = -1;
        m_files.pop_back();
        --m_nextFileId;
        return 0;
    }
    return f.id;
}

bool FlashFilesystemWriter::closeFile(uint32_t fileId)
{
    FileInfo *f = openFileInfo(fileId);
    if (!f || !hasRoom(1))
        return false;
    const uint32_t at = m_head;
    const int slot = f->slot;
    m_slots[slot] = -1;
    if (!writeStateRecord()) {
        m_slots[slot] = int(f - m_files.data());
        return false;
    }
    f->open = false;
    f->endSector = at;
    return true;
}

uint32_t FlashFilesystemWriter::closeAndOpen(uint32_t closingId, const QString &name, uint32_t type)
{
    FileInfo *closing = openFileInfo(closingId);
    if (!closing || !hasRoom(1))
        return 0;
    const int slot = closing->slot;
    const size_t closingIndex = size_t(closing - m_files.data());
    const uint32_t at = m_head;
    FileInfo f;
    f.id = m_nextFileId++;
    f.name = name;
    f.type = type;
    f.slot = slot;
    f.startSector = at;
    m_files.push_back(f);  // invalidates `closing`
    m_slots[slot] = int(m_files.size() - 1);
    if (!writeStateRecord()) {
        m_files.pop_back();
        m_slots[slot] = int(closingIndex);
        --m_nextFileId;
        return 0;
    }
    m_files[closingIndex].open = false;
    m_files[closingIndex].endSector = at;
    return f.id;
}

uint32_t FlashFilesystemWriter::appendRecord(uint32_t fileId, const QByteArray &payload)
{
    FileInfo *f = openFileInfo(fileId);
    if (!f || payload.size() != kPayloadSize)
        return kNoSector;
    const uint32_t at = m_head;
    if (!writeAtHead(makeRecord(payload, fileId)))
        return kNoSector;
    f->recordSectors.push_back(at);
    f->payloads.push_back(payload);
    return at;
}

QByteArray FlashFilesystemWriter::makeRecord(const QByteArray &payload, uint32_t recordId)
{
    QByteArray record = payload.left(kPayloadSize);
    if (record.size() < kPayloadSize)
        record.append(QByteArray(kPayloadSize - record.size(), char(0xFF)));
    record.append(QByteArray(8, '\0'));
    putU32(record.data() + 520, recordId);
    putU32(record.data() + 524, recordCrc(record));
    return record;
}

uint32_t FlashFilesystemWriter::recordCrc(const QByteArray &record)
{
    if (record.size() < VirtualFlash::kSectorSize)
        return 0;
    // The two ranges overlap on bytes 520 and 521; the device computes exactly this.
    const uint32_t first = packetCrc32(record.constData(), 522, 0);
    return packetCrc32(record.constData() + 520, 4, first);
}

bool FlashFilesystemWriter::recordCrcValid(const QByteArray &record)
{
    return record.size() == VirtualFlash::kSectorSize && recordCrc(record) == getU32(record.constData() + 524);
}

bool FlashFilesystemWriter::corruptRecordCrc(uint32_t sector)
{
    QByteArray record = m_flash->sector(sector);
    if (record.size() != VirtualFlash::kSectorSize || record.count(char(0xFF)) == record.size())
        return false;
    putU32(record.data() + 524, getU32(record.constData() + 524) ^ 0x5A5A0001u);
    return m_flash->overwriteSector(sector, record);
}

bool FlashFilesystemWriter::breakStateRecord(uint32_t sector, ChainBreak how)
{
    bool known = false;
    for (const StateRecordInfo &s : m_stateRecords)
        known = known || s.sector == sector;
    if (!known)
        return false;
    if (how == ChainBreak::BadCrc)
        return corruptRecordCrc(sector);
    QByteArray record = m_flash->sector(sector);
    if (how == ChainBreak::StaleSequence)
        putU64(record.data() + 6, m_sequence + 1000);
    else
        putU32(record.data(), kStateMagic ^ 0x00FF0000u);
    putU32(record.data() + 524, recordCrc(record));
    return m_flash->overwriteSector(sector, record);
}
