#pragma once

#include <cstdint>

// Outcome of one flash read. The numeric order matters: combining several results keeps the
// largest.
enum class FlashReadResult : uint8_t {
    Ok = 0,             // data valid (also: served from the cache)
    Corrected = 1,      // data valid, corrected by the chip's ECC
    Unreadable = 2,     // no valid data here; skip it
    CorrectedMany = 3,  // data valid, heavily corrected
    Failed = 4,         // hardware or communication failure; stop
};

// Network::ReadStatus as its 16-bit value -> FlashReadResult.
inline FlashReadResult flashReadResultFromStatus(uint16_t status)
{
    switch (status) {
    case 0:
        return FlashReadResult::Ok;
    case 6:
        return FlashReadResult::Corrected;
    case 3:
        return FlashReadResult::Unreadable;
    case 7:
        return FlashReadResult::CorrectedMany;
    default:
        return FlashReadResult::Failed;
    }
}

// Statuses whose data bytes are valid: Ok, EccCorrected, EccCorrectedMany.
inline bool readStatusHasData(uint16_t status)
{
    return status == 0 || status == 6 || status == 7;
}

inline FlashReadResult worstOf(FlashReadResult a, FlashReadResult b)
{
    return uint8_t(a) >= uint8_t(b) ? a : b;
}
