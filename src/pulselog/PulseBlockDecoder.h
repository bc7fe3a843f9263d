#pragma once

#include "PulseLogTypes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
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

namespace PulseBlockDecoding {
// One entry is at most 12 bits: K, two selector bits, 1, 2, 4 or 8 value bits for the
// selectors 00, 10, 01 and 11 (first bit read first), then E when K is 0. Indexed by the next
// 12 bits of the stream, the table gives the entry's length in bits (low 4 bits), K (bit 4),
// E (bit 5) and v (bits 6 and up).
constexpr unsigned kEntryBits = 12;
struct EntryTable {
    uint16_t entries[1u << kEntryBits];
};
constexpr EntryTable makeEntryTable()
{
    constexpr unsigned kWidth[4] = {1, 2, 4, 8};  // by selector, first bit + 2 * second bit
    constexpr unsigned kOffset[4] = {0, 2, 6, 22};
    EntryTable table{};
    for (unsigned bits = 0; bits < (1u << kEntryBits); ++bits) {
        const unsigned k = bits & 1u;
        const unsigned selector = (bits >> 1) & 3u;
        const unsigned width = kWidth[selector];
        const unsigned v = kOffset[selector] + ((bits >> 3) & ((1u << width) - 1u));
        const unsigned e = k ? 0u : (bits >> (3 + width)) & 1u;
        const unsigned length = 3 + width + (k ? 0u : 1u);
        table.entries[bits] = uint16_t(length | k << 4 | e << 5 | v << 6);
    }
    return table;
}
constexpr EntryTable kEntryTable = makeEntryTable();
}  // namespace PulseBlockDecoding

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

    // The two halves of decode() for callers that keep the outputs elsewhere: the header fills
    // every field of `out` but the outputs and entriesRead and says where the bit stream starts
    // (0 unless Decoded); the stream then hands each output to `output(time, count)` in time order.
    static Result decodeHeader(const char *data, size_t size, PulseBlock &out, size_t *streamStart);
    template <typename Output>
    static void decodeStream(const char *data, size_t size, size_t streamStart, PulseBlock &out, Output &&output);

    // At most how many entries a payload adds to a log: its base time and one per output; 0 for
    // what is no pulse block. Reads the header only.
    static size_t outputBound(const char *data, size_t size);

    static PulseLogTypes::EnvironmentReading environmentFromCodes(uint16_t millivolts, uint16_t temperatureCode);

    // The largest time step one entry can make is 277 tenths; decoding stops well before int64
    // overflows.
    static constexpr TimeTypes::Epoch1970::NanosI64 kLatestSafeTime =
        std::numeric_limits<TimeTypes::Epoch1970::NanosI64>::max() - 300 * kNanosPerTenth;

private:
    template <bool kCheckTime, typename Output>
    static void decodeEntries(const uint8_t *stream, size_t streamSize, PulseBlock &out, Output &output);

    // The stream's bits from `bit` on, least significant first, zero past the end.
    static uint64_t bitsFrom(const uint8_t *stream, size_t size, uint64_t bit)
    {
        const size_t byte = size_t(bit >> 3);
        if (byte + sizeof(uint64_t) > size)
            return lastBitsFrom(stream, size, bit);
        uint64_t word;
        std::memcpy(&word, stream + byte, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        return word >> (bit & 7);
    }
    // The same within the stream's last 8 bytes.
    static uint64_t lastBitsFrom(const uint8_t *stream, size_t size, uint64_t bit);
};

template <typename Output>
void PulseBlockDecoder::decodeStream(const char *data, size_t size, size_t streamStart, PulseBlock &out,
                                     Output &&output)
{
    const uint8_t *stream = reinterpret_cast<const uint8_t *>(data) + streamStart;
    const size_t streamSize = size - streamStart;
    // Time comes near the end of int64 only from a base time near it (no logger clock): only then
    // is every step checked. An entry takes 4 bits or more and advances 277 tenths at most.
    const uint64_t steps = std::min<uint64_t>(out.entryCount, uint64_t(streamSize) * 2);
    const uint64_t room = uint64_t(kLatestSafeTime - out.baseTime) / uint64_t(277 * kNanosPerTenth);
    if (room < steps)
        decodeEntries<true>(stream, streamSize, out, output);
    else
        decodeEntries<false>(stream, streamSize, out, output);
}

template <bool kCheckTime, typename Output>
void PulseBlockDecoder::decodeEntries(const uint8_t *stream, size_t streamSize, PulseBlock &out, Output &output)
{
    using NanosI64 = TimeTypes::Epoch1970::NanosI64;
    constexpr unsigned kWindowBits = 56;  // a refill always brings at least this many
    const uint64_t streamBits = uint64_t(streamSize) * 8;
    // `window` holds the stream's bits from windowStart on; `valid` of them are still unread,
    // never more than the stream has left, so an entry longer than that is cut by its end.
    uint64_t windowStart = 0, window = 0;
    unsigned filled = 0, valid = 0;

    NanosI64 current = out.baseTime;
    uint32_t pending = 0;
    uint32_t left = out.entryCount;
    while (left != 0) {
        if (valid < PulseBlockDecoding::kEntryBits) {
            windowStart += filled - valid;
            window = bitsFrom(stream, streamSize, windowStart);
            const uint64_t rest = streamBits - windowStart;
            filled = valid = rest < kWindowBits ? unsigned(rest) : kWindowBits;
        }
        const unsigned entry =
            PulseBlockDecoding::kEntryTable.entries[window & ((1u << PulseBlockDecoding::kEntryBits) - 1u)];
        const unsigned length = entry & 15u;
        if (length > valid) {
            out.truncated = true;
            break;
        }
        window >>= length;
        valid -= length;
        --left;

        const uint32_t v = entry >> 6;
        if (entry & 16u) {
            if (v == 0) {
                ++pending;
                continue;
            }
            if (pending != 0)
                output(current, pending);
            pending = v == 277 ? 0 : 1;
            current += NanosI64(v) * kNanosPerTenth;
        } else {
            pending += v + 1;
            if (!(entry & 32u))
                continue;
            output(current, pending);
            pending = 0;
            current += kNanosPerTenth;
        }
        if (kCheckTime && current > kLatestSafeTime) {
            out.truncated = true;
            break;
        }
    }
    out.entriesRead = out.entryCount - left;
    if (pending != 0)
        output(current, pending);
}
