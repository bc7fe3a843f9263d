// The encoder's blocks are read back by a decoder written here from the block format alone.
#include "sim/PulseBlockEncoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace {

using Pulse = PulseBlockEncoder::Pulse;

uint32_t u32(const QByteArray &b, int at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(uint8_t(b[at + i])) << (8 * i);
    return v;
}

uint64_t u64(const QByteArray &b, int at)
{
    return uint64_t(u32(b, at)) | (uint64_t(u32(b, at + 4)) << 32);
}

uint16_t u16(const QByteArray &b, int at)
{
    return uint16_t(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8));
}

struct Decoded {
    bool ok = false;
    int kind = -1;
    int64_t baseTenths = 0;
    uint32_t entries = 0;
    double volts = 0, celsius = 0;
    int64_t envNanos = 0;
    std::vector<Pulse> pulses;  // (tenth, count) outputs
    int bitsRead = 0;
};

// Reads a block as the format describes it and refuses to read beyond the payload.
Decoded decode(const QByteArray &block)
{
    Decoded d;
    if (block.size() != 520)
        return d;
    const uint32_t magic = u32(block, 0);
    int stream = 0;
    if (magic == 0xD3EC50E9u) {
        d.kind = 0;
        d.baseTenths = int64_t(u64(block, 4));
        d.entries = u32(block, 12);
        stream = 16;
        d.volts = 0.0;
        d.celsius = -50.0;
        d.envNanos = d.baseTenths * 100000000;
    } else if (magic == 0xD3EC50EAu || magic == 0xD3EC50EBu) {
        d.kind = magic == 0xD3EC50EAu ? 1 : 2;
        d.volts = u16(block, 4) / 1000.0;
        d.celsius = u16(block, 6) / 65535.0 * 200.0 - 50.0;
        d.baseTenths = int64_t(u64(block, 8));
        if (d.kind == 1) {
            d.entries = u32(block, 16);
            stream = 20;
            d.envNanos = d.baseTenths * 100000000;
        } else {
            d.envNanos = int64_t(u64(block, 16));
            d.entries = u32(block, 24);
            stream = 28;
        }
    } else {
        return d;
    }

    int bit = stream * 8;
    bool overrun = false;
    auto readBit = [&]() -> uint32_t {
        if (bit >= 520 * 8) {
            overrun = true;
            return 0;
        }
        const uint32_t b = (uint8_t(block[bit >> 3]) >> (bit & 7)) & 1u;
        ++bit;
        return b;
    };
    auto readBits = [&](int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= readBit() << i;
        return v;
    };
    auto readValue = [&]() -> uint32_t {
        const uint32_t first = readBit();
        const uint32_t second = readBit();
        if (!first && !second)
            return readBits(1);
        if (first && !second)
            return 2 + readBits(2);
        if (!first && second)
            return 6 + readBits(4);
        return 22 + readBits(8);
    };

    int64_t t = d.baseTenths;
    uint64_t pending = 0;
    for (uint32_t i = 0; i < d.entries && !overrun; ++i) {
        const uint32_t k = readBit();
        const uint32_t v = readValue();
        if (k == 1 && v == 0) {
            ++pending;
        } else if (k == 1) {
            if (pending)
                d.pulses.push_back({t, uint32_t(pending)});
            pending = v == 277 ? 0 : 1;
            t += v;
        } else {
            pending += v + 1;
            if (readBit()) {
                d.pulses.push_back({t, uint32_t(pending)});
                pending = 0;
                t += 1;
            }
        }
    }
    if (pending)
        d.pulses.push_back({t, uint32_t(pending)});
    d.bitsRead = bit - stream * 8;
    d.ok = !overrun;
    return d;
}

// Fills blocks from a pulse list, starting a new block when one refuses; returns the blocks.
std::vector<QByteArray> encodeAll(PulseBlockEncoder::Kind kind, int64_t base, const std::vector<Pulse> &pulses)
{
    std::vector<QByteArray> blocks;
    PulseBlockEncoder enc(kind, base);
    for (const Pulse &p : pulses) {
        if (!enc.addPulses(p.tenths, p.count)) {
            blocks.push_back(enc.payload());
            enc = PulseBlockEncoder(kind, p.tenths);
            EXPECT_TRUE(enc.addPulses(p.tenths, p.count));
        }
    }
    blocks.push_back(enc.payload());
    return blocks;
}

std::vector<Pulse> randomPulses(uint32_t seed, int64_t base, int n)
{
    std::mt19937 rng(seed);
    std::vector<Pulse> out;
    int64_t t = base;
    for (int i = 0; i < n; ++i) {
        const int shape = int(rng() % 10);
        if (shape < 4)
            t += 1 + rng() % 5;  // busy flow: neighbouring tenths
        else if (shape < 7)
            t += 6 + rng() % 270;  // every code length
        else if (shape < 8)
            t += 276 + rng() % 3;  // around the pure skip
        else if (shape < 9)
            t += 277 * (1 + rng() % 3) + rng() % 2;  // exact and near multiples of the skip
        else
            t += 1000 + rng() % 50000;  // quiet hours
        const uint32_t count = rng() % 8 == 0 ? 2 + rng() % 700 : 1 + rng() % 2;
        out.push_back({t, count});
    }
    if (!out.empty() && rng() % 2)
        out.front().tenths = base;  // a pulse right at the base time
    return out;
}

}  // namespace

TEST(PulseBlockEncoder, HeaderFieldsFollowTheLayoutOfEachKind)
{
    const int64_t base = 17723232000LL;  // 2026-03-01 in tenths
    PulseBlockEncoder k0(PulseBlockEncoder::Kind_Plain, base);
    QByteArray b = k0.payload();
    ASSERT_EQ(b.size(), 520);
    EXPECT_EQ(u32(b, 0), 0xD3EC50E9u);
    EXPECT_EQ(int64_t(u64(b, 4)), base);
    EXPECT_EQ(u32(b, 12), 0u);

    PulseBlockEncoder k1(PulseBlockEncoder::Kind_Environment, base);
    k1.setEnvironment(3601, 0x8000, 123);
    ASSERT_TRUE(k1.addPulses(base + 3, 1));
    b = k1.payload();
    EXPECT_EQ(u32(b, 0), 0xD3EC50EAu);
    EXPECT_EQ(u16(b, 4), 3601);
    EXPECT_EQ(u16(b, 6), 0x8000);
    EXPECT_EQ(int64_t(u64(b, 8)), base);
    EXPECT_EQ(u32(b, 16), 1u);
    // K=1, v=3 (prefix 1,0 then bits 1,0): 1 1 0 1 0 -> 0b01011 in the first byte of the stream.
    EXPECT_EQ(uint8_t(b[20]), 0x0B);

    PulseBlockEncoder k2(PulseBlockEncoder::Kind_TimedEnvironment, base);
    k2.setEnvironment(3300, 1000, 1772323200123456789LL);
    b = k2.payload();
    EXPECT_EQ(u32(b, 0), 0xD3EC50EBu);
    EXPECT_EQ(int64_t(u64(b, 16)), 1772323200123456789LL);
    EXPECT_EQ(u32(b, 24), 0u);
    EXPECT_EQ(PulseBlockEncoder::streamOffset(PulseBlockEncoder::Kind_TimedEnvironment), 28);
}

TEST(PulseBlockEncoder, EnvironmentCodesSpanTheirRanges)
{
    EXPECT_EQ(PulseBlockEncoder::temperatureCode(-50.0), 0);
    EXPECT_EQ(PulseBlockEncoder::temperatureCode(150.0), 65535);
    EXPECT_EQ(PulseBlockEncoder::temperatureCode(-80.0), 0);
    EXPECT_EQ(PulseBlockEncoder::temperatureCode(400.0), 65535);
    EXPECT_EQ(PulseBlockEncoder::temperatureCode(std::nan("")), 0);
    for (double c : {-12.5, 0.0, 11.3, 21.7, 99.9}) {
        const double back = PulseBlockEncoder::temperatureCode(c) / 65535.0 * 200.0 - 50.0;
        EXPECT_NEAR(back, c, 200.0 / 65535.0);
    }
    EXPECT_EQ(PulseBlockEncoder::millivolts(3.6004), 3600);
    EXPECT_EQ(PulseBlockEncoder::millivolts(-1.0), 0);
    EXPECT_EQ(PulseBlockEncoder::millivolts(70.0), 65535);

    PulseBlockEncoder enc(PulseBlockEncoder::Kind_Environment, 1000);
    enc.setEnvironment(PulseBlockEncoder::millivolts(3.55), PulseBlockEncoder::temperatureCode(8.25), 0);
    const Decoded d = decode(enc.payload());
    ASSERT_TRUE(d.ok);
    EXPECT_NEAR(d.volts, 3.55, 1e-9);
    EXPECT_NEAR(d.celsius, 8.25, 0.002);
    EXPECT_EQ(d.envNanos, 1000 * 100000000LL);
}

TEST(PulseBlockEncoder, SmallSequencesDecodeToTheirPulses)
{
    const int64_t base = 5000;
    const std::vector<std::vector<Pulse>> cases = {
        {},
        {{base, 1}},
        {{base, 2}, {base + 3, 2}},
        {{base + 1, 1}, {base + 2, 3}, {base + 3, 1}, {base + 4, 5}},  // neighbouring tenths
        {{base + 277, 1}},                                             // exactly one skip
        {{base + 276, 1}, {base + 553, 1}},                            // longest step, then 277
        {{base + 554, 4}},                                             // two skips, pulses at once
        {{base + 10, 1000}},                                           // more than one run holds
        {{base, 278}, {base + 1, 279}},
        {{base + 30, 1}, {base + 30 + 30000, 1}},  // most of an hour of silence
    };
    for (auto kind : {PulseBlockEncoder::Kind_Plain, PulseBlockEncoder::Kind_Environment,
                      PulseBlockEncoder::Kind_TimedEnvironment}) {
        for (const auto &pulses : cases) {
            PulseBlockEncoder enc(kind, base);
            for (const Pulse &p : pulses)
                ASSERT_TRUE(enc.addPulses(p.tenths, p.count));
            const Decoded d = decode(enc.payload());
            ASSERT_TRUE(d.ok);
            EXPECT_EQ(d.kind, int(kind));
            EXPECT_EQ(d.baseTenths, base);
            EXPECT_EQ(d.entries, enc.entryCount());
            EXPECT_EQ(d.bitsRead, enc.bitsUsed());
            EXPECT_EQ(d.pulses, pulses);
            EXPECT_EQ(enc.lastPulseTenths(), pulses.empty() ? base : pulses.back().tenths);
        }
    }
}

TEST(PulseBlockEncoder, AddsToTheSameTenthAcrossCalls)
{
    PulseBlockEncoder enc(PulseBlockEncoder::Kind_Plain, 100);
    ASSERT_TRUE(enc.addPulses(105, 1));
    ASSERT_TRUE(enc.addPulses(105, 2));
    ASSERT_TRUE(enc.addPulses(106, 1));
    ASSERT_TRUE(enc.addPulses(106, 1));
    const Decoded d = decode(enc.payload());
    EXPECT_EQ(d.pulses, (std::vector<Pulse>{{105, 3}, {106, 2}}));
    EXPECT_EQ(enc.pulseCount(), 5u);
}

TEST(PulseBlockEncoder, RefusesBadArgumentsWithoutChangingTheBlock)
{
    PulseBlockEncoder enc(PulseBlockEncoder::Kind_Plain, 100);
    ASSERT_TRUE(enc.addPulses(120, 1));
    const QByteArray before = enc.payload();
    EXPECT_FALSE(enc.addPulses(119, 1));  // earlier than the last pulse
    EXPECT_FALSE(enc.addPulses(130, 0));  // no pulse
    PulseBlockEncoder fresh(PulseBlockEncoder::Kind_Plain, 100);
    EXPECT_FALSE(fresh.addPulses(99, 1));  // before the base time
    EXPECT_EQ(enc.payload(), before);
}

TEST(PulseBlockEncoder, FullBlockRefusesAndKeepsEverythingAccepted)
{
    for (auto kind : {PulseBlockEncoder::Kind_Plain, PulseBlockEncoder::Kind_TimedEnvironment}) {
        PulseBlockEncoder enc(kind, 0);
        std::vector<Pulse> accepted;
        int64_t t = 0;
        std::mt19937 rng(7);
        while (true) {
            t += 22 + rng() % 250;  // ten-bit values fill the block fast
            const QByteArray before = enc.payload();
            const int bitsBefore = enc.bitsUsed();
            if (!enc.addPulses(t, 1 + rng() % 3)) {
                EXPECT_EQ(enc.payload(), before);
                EXPECT_EQ(enc.bitsUsed(), bitsBefore);
                break;
            }
            accepted.push_back({t, 0});
            accepted.back().count = uint32_t(enc.pulseCount());
        }
        EXPECT_LE(enc.bitsUsed(), enc.bitCapacity());
        EXPECT_GT(enc.bitsUsed(), enc.bitCapacity() - 40);
        const Decoded d = decode(enc.payload());
        ASSERT_TRUE(d.ok);
        ASSERT_EQ(d.pulses.size(), accepted.size());
        uint64_t total = 0;
        for (size_t i = 0; i < accepted.size(); ++i) {
            EXPECT_EQ(d.pulses[i].tenths, accepted[i].tenths);
            total += d.pulses[i].count;
            EXPECT_EQ(total, accepted[i].count);  // running total of accepted pulses
        }
    }
}

TEST(PulseBlockEncoder, RandomStreamsRoundTripThroughManyBlocks)
{
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        const int64_t base = 17000000000LL + seed;
        const std::vector<Pulse> pulses = randomPulses(seed, base, 3000);
        const auto kind = PulseBlockEncoder::Kind(seed % 3);
        const std::vector<QByteArray> blocks = encodeAll(kind, base, pulses);
        ASSERT_GT(blocks.size(), 1u) << "seed " << seed;

        std::vector<Pulse> decoded;
        int64_t previousBase = base;
        for (const QByteArray &b : blocks) {
            const Decoded d = decode(b);
            ASSERT_TRUE(d.ok) << "seed " << seed;
            EXPECT_GE(d.baseTenths, previousBase);
            previousBase = d.baseTenths;
            for (const Pulse &p : d.pulses) {
                EXPECT_GE(p.tenths, d.baseTenths);
                decoded.push_back(p);
            }
        }
        ASSERT_EQ(decoded, pulses) << "seed " << seed;
    }
}
