#pragma once

#include "FileRecord.h"

#include <cstdint>

// The filesystem state: what the logger exports as its current state, and the payload of every
// state record in the chain on the flash (246 bytes, little-endian).
struct FilesystemState {
    static constexpr int kSize = 246;
    static constexpr uint32_t kMagic = 0xDA8B9265u;
    static constexpr uint16_t kLayoutVersion = 1;
    static constexpr int kFileSlots = 4;

    uint32_t magic = 0;
    uint16_t version = 0;
    uint64_t sequence = 0;
    uint32_t head = 0;
    uint32_t reservedBlock1 = 0;
    uint32_t reservedBlock2 = 0;
    uint32_t mapBlockA = 0;
    uint32_t mapBlockB = 0;
    uint32_t previousRecord = 0;  // sector address of the older state record; 0 = none
    FileRecord files[kFileSlots];

    bool hasValidHeader() const { return magic == kMagic && version == kLayoutVersion; }
    bool isReservedBlock(uint32_t block) const
    {
        return block == reservedBlock1 || block == reservedBlock2 || block == mapBlockA || block == mapBlockB;
    }
    // True when a slot in use carries this file id.
    bool isOpen(uint32_t fileId) const;

    // `src` must hold kSize bytes.
    static FilesystemState parse(const uint8_t *src);
};
