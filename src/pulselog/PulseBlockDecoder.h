#pragma once

#include "PulseLogTypes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Everything one data-record payload says: its header and the pulses of its bit stream.
struct PulseBlock {
    int kind = -1;
    TimeTypes::Epoch1970::NanosI64 baseTime = 0;
    TimeTypes::Epoch1970::NanosI64 environmentTime = 0;
    PulseLogTypes::EnvironmentReading environment;
    uint32_t entryCount = 0;                               // as the header claims
    uint32_t entriesRead = 0;                              // as far as the payload actually reached
    bool truncated = false;                                // the claimed entries did not fit into the payload
    std::vector<PulseLogTypes::TimestampedEntry> outputs;  // time order, counts >= 1
};

// Decodes the logger's pulse blocks. Never reads outside the payload it is given, whatever
// the entry count claims: what fits is decoded, the rest is reported as truncated.
class PulseBlockDecoder
{
public:
    enum class Result { Decoded, Blank, NotPulseBlock };

    static constexpr uint32_t kMagicKind0 = 0xD3EC50E9u;
    static constexpr uint32_t kMagicKind1 = 0xD3EC50EAu;
    static constexpr uint32_t kMagicKind2 = 0xD3EC50EBu;
    static constexpr uint32_t kBlankMagic = 0xFFFFFFFFu;
    static constexpr TimeTypes::Epoch1970::NanosI64 kNanosPerTenth = 100000000;

    // `out.outputs` is cleared and refilled, so one PulseBlock can be reused without
    // reallocating for every payload.
    static Result decode(const char *data, size_t size, PulseBlock &out);

    static PulseLogTypes::EnvironmentReading environmentFromCodes(uint16_t millivolts, uint16_t temperatureCode);
};
