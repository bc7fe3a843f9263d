#pragma once

#include <cstdint>
#include <functional>
#include <QByteArray>
#include <vector>

#include "common/TimeTypes.h"

// Builds the 520-byte pulse block the logger stores as the payload of each data record of a
// pulse-log file: a header (kind 0, 1 or 2), then a bit stream of entries, least significant bit
// first. The encoder mirrors the reader's state (current tenth, pending count) so that every
// entry it emits decodes back to exactly the pulses it was given.
//
// Usage: construct with the block's base time, set the environment reading (kinds 1 and 2), add
// pulses in time order until addPulses() refuses, then take payload().
class PulseBlockEncoder
{
public:
    static constexpr int kPayloadSize = 520;

    enum Kind {
        Kind_Plain = 0,             // no environment reading
        Kind_Environment = 1,       // reading taken at the base time
        Kind_TimedEnvironment = 2,  // reading with its own nanosecond time
    };

    static constexpr uint32_t kMagicPlain = 0xD3EC50E9u;
    static constexpr uint32_t kMagicEnvironment = 0xD3EC50EAu;
    static constexpr uint32_t kMagicTimedEnvironment = 0xD3EC50EBu;

    // One tenth of a second (since 1970) with `count` >= 1 pulses in it.
    struct Pulse {
        int64_t tenths = 0;
        uint32_t count = 0;
        bool operator==(const Pulse &o) const { return tenths == o.tenths && count == o.count; }
    };

    PulseBlockEncoder(Kind kind, int64_t baseTenths);

    // Environment reading stored in the header (ignored for kind 0). `timeNanos` is written only
    // by kind 2; kind 1 readings are dated at the base time by the reader.
    void setEnvironment(uint16_t millivolts, uint16_t temperatureCode, TimeTypes::Epoch1970::NanosI64 timeNanos);

    // Appends `count` pulses in tenth `tenths`, which must not be earlier than the base time nor
    // than the last tenth added. Returns false and leaves the block as it was when the entries
    // needed do not fit (or the arguments are out of order, or count is 0).
    bool addPulses(int64_t tenths, uint32_t count);

    Kind kind() const { return m_kind; }
    int64_t baseTenths() const { return m_base; }
    // Tenth of the last pulse added, or the base time while the block holds none.
    int64_t lastPulseTenths() const { return m_lastPulse; }
    uint32_t entryCount() const { return m_entries; }
    uint64_t pulseCount() const { return m_pulses; }
    int bitsUsed() const { return m_bits; }
    int bitCapacity() const;

    // The 520-byte payload. Bytes after the last entry are zero.
    QByteArray payload() const;

    // Encodes `pulses` (in time order, within [startTenths, endTenths)) as the logger does: a
    // block opens every `blockTenths`, and a block that fills up closes early, the next one
    // opening at the pulse that did not fit. `open(base)` makes a block, `close` takes each
    // finished one in order.
    static void encodeInBlocks(const std::vector<Pulse> &pulses, int64_t startTenths, int64_t endTenths,
                               int64_t blockTenths, const std::function<PulseBlockEncoder(int64_t base)> &open,
                               const std::function<void(const PulseBlockEncoder &)> &close);

    // Header offset of the bit stream for a kind (16, 20 or 28).
    static int streamOffset(Kind kind);
    // Temperature code: 0 .. 65535 spans -50 .. +150 degrees Celsius (rounded, clamped).
    static uint16_t temperatureCode(double celsius);
    // Millivolts, rounded and clamped to 0 .. 65535.
    static uint16_t millivolts(double volts);

private:
    struct Entry {
        bool kindBit;    // K
        uint32_t value;  // v, 0 .. 277
        bool hasEnd;     // K = 0 entries carry E
    };
    static int entryBits(const Entry &e);
    static int valueBits(uint32_t v);
    void writeBits(uint32_t bits, int count);
    void writeEntry(const Entry &e);

    Kind m_kind;
    int64_t m_base;
    uint16_t m_millivolts = 0;
    uint16_t m_temperatureCode = 0;
    int64_t m_environmentNanos = 0;

    std::vector<uint8_t> m_stream;  // the bit stream area of the payload
    int m_bits = 0;
    uint32_t m_entries = 0;
    uint64_t m_pulses = 0;

    // What the reader will hold after the entries written so far.
    int64_t m_current;        // its current tenth
    bool m_anyPulse = false;  // a pulse was added (m_lastPulse is meaningful)
    int64_t m_lastPulse;
    // Bit position of the E bit of the last entry when it is a K = 0 entry with E = 0, else -1.
    // Setting that bit later closes the tenth without spending a single extra bit.
    int m_openEndBit = -1;
};
