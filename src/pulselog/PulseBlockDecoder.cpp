#include "PulseBlockDecoder.h"

#include <cstring>
#include <limits>

namespace {
using NanosI64 = TimeTypes::Epoch1970::NanosI64;

template <typename T> T readLe(const char *p)
{
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        value |= T(uint8_t(p[i])) << (8 * i);
    return value;
}

// Reads the bit stream least significant bit first; refuses any read that would pass the end.
class BitReader
{
public:
    BitReader(const uint8_t *data, size_t size) : m_data(data), m_size(size), m_bits(uint64_t(size) * 8) {}

    // n <= 8
    bool read(unsigned n, uint32_t &value)
    {
        if (m_pos + n > m_bits)
            return false;
        const size_t byte = size_t(m_pos >> 3);
        const unsigned shift = unsigned(m_pos & 7);
        uint32_t word = m_data[byte];
        if (byte + 1 < m_size)
            word |= uint32_t(m_data[byte + 1]) << 8;
        value = (word >> shift) & ((1u << n) - 1u);
        m_pos += n;
        return true;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    uint64_t m_bits;
    uint64_t m_pos = 0;
};

// The largest time step one entry can make is 277 tenths; stop well before int64 overflows.
constexpr NanosI64 kLatestSafeTime = std::numeric_limits<NanosI64>::max() - 300 * PulseBlockDecoder::kNanosPerTenth;
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

// One entry of the stream: the flag k, the value v (a prefix code of 1, 2, 4 or 8 bits after
// two selector bits) and, for k = 0, the flag e. False when the stream ends inside it.
bool readEntry(BitReader &bits, uint32_t *k, uint32_t *v, uint32_t *e)
{
    uint32_t first, second;
    if (!bits.read(1, *k) || !bits.read(1, first) || !bits.read(1, second))
        return false;
    uint32_t extra = 0;
    bool ok;
    if (!first && !second) {
        ok = bits.read(1, extra);
        *v = extra;
    } else if (first && !second) {
        ok = bits.read(2, extra);
        *v = 2 + extra;
    } else if (!first && second) {
        ok = bits.read(4, extra);
        *v = 6 + extra;
    } else {
        ok = bits.read(8, extra);
        *v = 22 + extra;
    }
    *e = 0;
    if (ok && !*k)
        ok = bits.read(1, *e);
    return ok;
}
}  // namespace

PulseBlockDecoder::Result PulseBlockDecoder::decode(const char *data, size_t size, PulseBlock &out)
{
    out.outputs.clear();
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
    const size_t streamStart = readHeader(data, size, magic, out, &baseTenths);
    if (streamStart == 0)
        return Result::NotPulseBlock;

    // A base time this far out cannot come from a logger clock; converting it would overflow.
    if (baseTenths > uint64_t(kLatestSafeTime / kNanosPerTenth)) {
        out.kind = -1;
        return Result::NotPulseBlock;
    }
    out.baseTime = NanosI64(baseTenths) * kNanosPerTenth;
    if (out.kind != 2)
        out.environmentTime = out.baseTime;

    BitReader bits(reinterpret_cast<const uint8_t *>(data) + streamStart, size - streamStart);
    NanosI64 current = out.baseTime;
    uint32_t pending = 0;
    auto output = [&]() { out.outputs.push_back({current, pending}); };

    while (out.entriesRead < out.entryCount) {
        uint32_t k, v, e;
        if (!readEntry(bits, &k, &v, &e)) {
            out.truncated = true;
            break;
        }
        ++out.entriesRead;

        if (k) {
            if (v == 0) {
                ++pending;
            } else {
                if (pending != 0)
                    output();
                pending = v == 277 ? 0 : 1;
                current += NanosI64(v) * kNanosPerTenth;
            }
        } else {
            pending += v + 1;
            if (e) {
                output();
                pending = 0;
                current += kNanosPerTenth;
            }
        }
        if (current > kLatestSafeTime) {
            out.truncated = true;
            break;
        }
    }
    if (pending != 0)
        output();
    return Result::Decoded;
}
