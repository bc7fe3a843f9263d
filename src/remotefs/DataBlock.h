#pragma once

#include <cstddef>
#include <cstdint>

// One 528-byte flash record: 520 payload bytes, the u32 record id at 520 and the u32 CRC at 524.
struct DataBlock {
    static constexpr int kSize = 528;
    static constexpr int kPayloadSize = 520;

    static uint32_t recordId(const uint8_t *record);
    static uint32_t storedCrc(const uint8_t *record);
    // The logger's record CRC: over bytes 0..521, then continued over bytes 520..523. The two
    // ranges overlap on purpose; the device computes it exactly so.
    static uint32_t computeCrc(const uint8_t *record);
    // Checks the CRC; a mismatch is logged with both values.
    static bool checkCrc(const uint8_t *record);
    static bool isBlank(const uint8_t *bytes, size_t size);
};
