#include "PulseBlockDecoder.h"

#include <algorithm>

namespace {
using NanosI64 = TimeTypes::Epoch1970::NanosI64;

template <typename T> T readLe(const char *p)
{
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        value |= T(uint8_t(p[i])) << (8 * i);
    return value;
}
}  // namespace

PulseLogTypes::EnvironmentReading PulseBlockDecoder::environmentFromCodes(uint16_t millivolts, uint16_t temperatureCode)
{
    PulseLogTypes::EnvironmentReading reading;
    reading.voltage = float(double(millivolts) / 1000.0);
    reading.temperature = float(double(temperatureCode) / 65535.0 * 200.0 - 50.0);
    return reading;
}

namespace {
// The header of the three block kinds: kind, environment, base time in tenths, entry count.
// Returns where the bit stream starts, or 0 when the bytes are no pulse block.
size_t readHeader(const char *data, size_t size, uint32_t magic, PulseBlock &out, uint64_t *baseTenths)
{
    if (magic == PulseBlockDecoder::kMagicKind0) {
        *baseTenths = readLe<uint64_t>(data + 4);
        out.entryCount = readLe<uint32_t>(data + 12);
        out.environment.voltage = 0.0f;
        out.environment.temperature = -50.0f;
        out.kind = 0;
        return 16;
    }
    if (magic != PulseBlockDecoder::kMagicKind1 && magic != PulseBlockDecoder::kMagicKind2)
        return 0;
    const bool withEnvironmentTime = magic == PulseBlockDecoder::kMagicKind2;
    const size_t streamStart = withEnvironmentTime ? 28 : 20;
    if (size < streamStart)
        return 0;
    out.environment = PulseBlockDecoder::environmentFromCodes(readLe<uint16_t>(data + 4), readLe<uint16_t>(data + 6));
    *baseTenths = readLe<uint64_t>(data + 8);
    if (withEnvironmentTime) {
        uint64_t bits = readLe<uint64_t>(data + 16);
        NanosI64 envTime;
        std::memcpy(&envTime, &bits, sizeof envTime);
        out.environmentTime = envTime;
        out.entryCount = readLe<uint32_t>(data + 24);
    } else {
        out.entryCount = readLe<uint32_t>(data + 16);
    }
    out.kind = withEnvironmentTime ? 2 : 1;
    return streamStart;
}

}  // namespace

PulseBlockDecoder::Result PulseBlockDecoder::decodeHeader(const char *data, size_t size, PulseBlock &out,
                                                          size_t *streamStart)
{
    *streamStart = 0;
    out.kind = -1;
    out.truncated = false;
    out.entriesRead = 0;
    out.entryCount = 0;
    if (!data || size < 16)
        return Result::NotPulseBlock;

    const uint32_t magic = readLe<uint32_t>(data);
    if (magic == kBlankMagic)
        return Result::Blank;

    uint64_t baseTenths = 0;
    const size_t start = readHeader(data, size, magic, out, &baseTenths);
    if (start == 0)
        return Result::NotPulseBlock;

    // A base time this far out cannot come from a logger clock; converting it would overflow.
    if (baseTenths > uint64_t(kLatestSafeTime / kNanosPerTenth)) {
        out.kind = -1;
        return Result::NotPulseBlock;
    }
    out.baseTime = NanosI64(baseTenths) * kNanosPerTenth;
    if (out.kind != 2)
        out.environmentTime = out.baseTime;
    *streamStart = start;
    return Result::Decoded;
}

PulseBlockDecoder::Result PulseBlockDecoder::decode(const char *data, size_t size, PulseBlock &out)
{
    out.outputs.clear();
    size_t streamStart = 0;
    const Result result = decodeHeader(data, size, out, &streamStart);
    if (result == Result::Decoded)
        decodeStream(data, size, streamStart, out, [&out](NanosI64 time, uint32_t count) {
            out.outputs.push_back({time, count});
        });
    return result;
}

size_t PulseBlockDecoder::outputBound(const char *data, size_t size)
{
    PulseBlock header;
    size_t streamStart = 0;
    if (decodeHeader(data, size, header, &streamStart) != Result::Decoded)
        return 0;
    // An entry takes 4 bits or more; every output but the last closes at an entry.
    const uint64_t fitting = uint64_t(size - streamStart) * 8 / 4;
    return size_t(std::min<uint64_t>(header.entryCount, fitting)) + 2;
}

uint64_t PulseBlockDecoder::lastBitsFrom(const uint8_t *stream, size_t size, uint64_t bit)
{
    const size_t byte = size_t(bit >> 3);
    uint64_t word = 0;
    for (size_t i = 0; byte + i < size; ++i)
        word |= uint64_t(stream[byte + i]) << (8 * i);
    return word >> (bit & 7);
}
