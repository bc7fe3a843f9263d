#include "PulseBlockEncoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace {

void putU16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void putU32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void putU64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// Largest value of the prefix code; as a time step it is a pure skip that leaves nothing pending.
constexpr uint32_t kSkipValue = 277;
// Pulses one K = 0 entry can add to the current tenth (v + 1).
constexpr uint32_t kMaxRun = 278;

}  // namespace

PulseBlockEncoder::PulseBlockEncoder(Kind kind, int64_t baseTenths)
    : m_kind(kind), m_base(baseTenths), m_current(baseTenths), m_lastPulse(baseTenths)
{
    m_stream.assign(size_t(kPayloadSize - streamOffset(kind)), 0);
}

int PulseBlockEncoder::streamOffset(Kind kind)
{
    switch (kind) {
    case Kind_Plain:
        return 16;
    case Kind_Environment:
        return 20;
    case Kind_TimedEnvironment:
        return 28;
    }
    return 16;
}

int PulseBlockEncoder::bitCapacity() const
{
    return int(m_stream.size()) * 8;
}

void PulseBlockEncoder::setEnvironment(uint16_t millivolts, uint16_t temperatureCode,
                                       TimeTypes::Epoch1970::NanosI64 timeNanos)
{
    m_millivolts = millivolts;
    m_temperatureCode = temperatureCode;
    m_environmentNanos = timeNanos;
}

int PulseBlockEncoder::valueBits(uint32_t v)
{
    if (v <= 1)
        return 3;
    if (v <= 5)
        return 4;
    if (v <= 21)
        return 6;
    return 10;
}

int PulseBlockEncoder::entryBits(const Entry &e)
{
    return 1 + valueBits(e.value) + (e.hasEnd ? 1 : 0);
}

void PulseBlockEncoder::writeBits(uint32_t bits, int count)
{
    for (int i = 0; i < count; ++i) {
        if ((bits >> i) & 1u)
            m_stream[size_t(m_bits >> 3)] |= uint8_t(1u << (m_bits & 7));
        ++m_bits;
    }
}

void PulseBlockEncoder::writeEntry(const Entry &e)
{
    writeBits(e.kindBit ? 1u : 0u, 1);
    const uint32_t v = e.value;
    if (v <= 1) {
        writeBits(0, 1);
        writeBits(0, 1);
        writeBits(v, 1);
    } else if (v <= 5) {
        writeBits(1, 1);
        writeBits(0, 1);
        writeBits(v - 2, 2);
    } else if (v <= 21) {
        writeBits(0, 1);
        writeBits(1, 1);
        writeBits(v - 6, 4);
    } else {
        writeBits(1, 1);
        writeBits(1, 1);
        writeBits(v - 22, 8);
    }
    m_openEndBit = -1;
    if (e.hasEnd) {
        m_openEndBit = m_bits;
        writeBits(0, 1);  // E = 0: the tenth stays open
    }
    ++m_entries;
}

bool PulseBlockEncoder::addPulses(int64_t tenths, uint32_t count)
{
    if (count == 0 || tenths < m_base || (m_anyPulse && tenths < m_lastPulse))
        return false;

    std::vector<Entry> plan;
    bool closeOpenTenth = false;

    // Adds n pulses to the tenth the reader is at.
    auto addAtCurrent = [&plan](uint32_t n) {
        while (n > 0) {
            const uint32_t chunk = std::min(n, kMaxRun);
            if (chunk == 1)
                plan.push_back({true, 0, false});
            else
                plan.push_back({false, chunk - 1, true});
            n -= chunk;
        }
    };

    int64_t delta = tenths - m_current;
    if (delta == 0) {
        addAtCurrent(count);
    } else if (delta == 1 && m_openEndBit >= 0) {
        // E = 1 on the previous run ends its tenth and steps the reader one tenth on.
        closeOpenTenth = true;
        addAtCurrent(count);
    } else {
        while (delta >= int64_t(kSkipValue)) {
            plan.push_back({true, kSkipValue, false});
            delta -= kSkipValue;
        }
        if (delta == 0) {
            addAtCurrent(count);
        } else {
            plan.push_back({true, uint32_t(delta), false});  // first pulse of the new tenth
            if (count > 1)
                addAtCurrent(count - 1);
        }
    }

    int needed = 0;
    for (const Entry &e : plan)
        needed += entryBits(e);
    if (m_bits + needed > bitCapacity())
        return false;

    if (closeOpenTenth)
        m_stream[size_t(m_openEndBit >> 3)] |= uint8_t(1u << (m_openEndBit & 7));
    for (const Entry &e : plan)
        writeEntry(e);

    m_current = tenths;
    m_lastPulse = tenths;
    m_anyPulse = true;
    m_pulses += count;
    return true;
}

QByteArray PulseBlockEncoder::payload() const
{
    // Filled in a plain array: through a QByteArray's data() GCC 12 sees the shared empty array and
    // warns of writes out of bounds.
    std::array<uint8_t, kPayloadSize> bytes{};
    uint8_t *p = bytes.data();
    switch (m_kind) {
    case Kind_Plain:
        putU32(p, kMagicPlain);
        putU64(p + 4, uint64_t(m_base));
        putU32(p + 12, m_entries);
        break;
    case Kind_Environment:
        putU32(p, kMagicEnvironment);
        putU16(p + 4, m_millivolts);
        putU16(p + 6, m_temperatureCode);
        putU64(p + 8, uint64_t(m_base));
        putU32(p + 16, m_entries);
        break;
    case Kind_TimedEnvironment:
        putU32(p, kMagicTimedEnvironment);
        putU16(p + 4, m_millivolts);
        putU16(p + 6, m_temperatureCode);
        putU64(p + 8, uint64_t(m_base));
        putU64(p + 16, uint64_t(m_environmentNanos));
        putU32(p + 24, m_entries);
        break;
    }
    std::memcpy(p + streamOffset(m_kind), m_stream.data(), m_stream.size());
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), kPayloadSize);
}

uint16_t PulseBlockEncoder::temperatureCode(double celsius)
{
    if (!std::isfinite(celsius))
        return 0;
    const double code = std::round((celsius + 50.0) / 200.0 * 65535.0);
    return uint16_t(std::clamp(code, 0.0, 65535.0));
}

uint16_t PulseBlockEncoder::millivolts(double volts)
{
    if (!std::isfinite(volts))
        return 0;
    return uint16_t(std::clamp(std::round(volts * 1000.0), 0.0, 65535.0));
}

void PulseBlockEncoder::encodeInBlocks(const std::vector<Pulse> &pulses, int64_t startTenths, int64_t endTenths,
                                       int64_t blockTenths, const std::function<PulseBlockEncoder(int64_t)> &open,
                                       const std::function<void(const PulseBlockEncoder &)> &close)
{
    size_t next = 0;
    for (int64_t blockStart = startTenths; blockStart < endTenths; blockStart += blockTenths) {
        const int64_t blockEnd = std::min(blockStart + blockTenths, endTenths);
        PulseBlockEncoder enc = open(blockStart);
        for (; next < pulses.size() && pulses[next].tenths < blockEnd; ++next) {
            if (enc.addPulses(pulses[next].tenths, pulses[next].count))
                continue;
            close(enc);
            enc = open(pulses[next].tenths);
            enc.addPulses(pulses[next].tenths, pulses[next].count);  // fits an empty block
        }
        close(enc);
    }
}
