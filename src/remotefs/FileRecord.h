#pragma once

#include <cstdint>
#include <QString>

// One of the four file slots of a filesystem state (48 bytes on the flash).
struct FileRecord {
    static constexpr int kSize = 48;
    static constexpr int kNameSize = 32;
    static constexpr uint32_t kTypePulseLog = 1;

    uint32_t fileId = 0;
    char name[kNameSize] = {};
    uint32_t fileType = 0;
    uint8_t flags = 0;

    bool inUse() const { return (flags & 1u) != 0; }
    // UTF-8 up to the first NUL (at most 32 bytes).
    QString fileName() const;

    // `src` must hold kSize bytes.
    static FileRecord parse(const uint8_t *src);
};
