#include "FilesystemState.h"

#include <cstring>

bool FilesystemState::isOpen(uint32_t fileId) const
{
    for (const FileRecord &f : files) {
        if (f.inUse() && f.fileId == fileId)
            return true;
    }
    return false;
}

FilesystemState FilesystemState::parse(const uint8_t *src)
{
    FilesystemState s;
    std::memcpy(&s.magic, src + 0, 4);
    std::memcpy(&s.version, src + 4, 2);
    std::memcpy(&s.sequence, src + 6, 8);
    std::memcpy(&s.head, src + 18, 4);
    std::memcpy(&s.reservedBlock1, src + 22, 4);
    std::memcpy(&s.reservedBlock2, src + 26, 4);
    std::memcpy(&s.mapBlockA, src + 30, 4);
    std::memcpy(&s.mapBlockB, src + 34, 4);
    std::memcpy(&s.previousRecord, src + 50, 4);
    for (int i = 0; i < kFileSlots; ++i)
        s.files[i] = FileRecord::parse(src + 54 + i * FileRecord::kSize);
    return s;
}
