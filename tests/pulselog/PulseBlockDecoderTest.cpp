#include "pulselog/PulseBlockDecoder.h"
#include "PulseBlockBuilder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {
constexpr int64_t kTenth = 100000000;
constexpr uint64_t kBase = 17800000000ull;  // tenths of a second, in 2026
constexpr int64_t kBaseNs = int64_t(kBase) * kTenth;

std::vector<std::pair<int64_t, uint32_t>> decodeOutputs(const QByteArray &payload, PulseBlock *blockOut = nullptr)
{
    PulseBlock block;
    EXPECT_EQ(PulseBlockDecoder::decode(payload.constData(), size_t(payload.size()), block),
              PulseBlockDecoder::Result::Decoded);
    std::vector<std::pair<int64_t, uint32_t>> out;
    for (const auto &e : block.outputs)
        out.emplace_back(e.time - kBaseNs, e.count);
    if (blockOut)
        *blockOut = block;
    return out;
}

using Outputs = std::vector<std::pair<int64_t, uint32_t>>;
}  // namespace

TEST(PulseBlockDecoder, EntryRulesCombinePendingPulses)
{
    PulseBlockBuilder b;
    b.baseTenths = kBase;
    b.pulse(0).pulse(0).pulse(3).burst(0, 1);
    EXPECT_EQ(decodeOutputs(b.build()), (Outputs{{0, 2}, {3 * kTenth, 2}}));
}

TEST(PulseBlockDecoder, TimeSkipLeavesNoPendingPulse)
{
    PulseBlockBuilder b;
    b.baseTenths = kBase;
    b.pulse(277).pulse(0).pulse(277);
    // only the pulse added after the first skip remains, at 27.7 s
    EXPECT_EQ(decodeOutputs(b.build()), (Outputs{{277 * kTenth, 1}}));
}

TEST(PulseBlockDecoder, PrefixCodeCoversEveryLengthBoundary)
{
    PulseBlockBuilder b;
    b.baseTenths = kBase;
    const uint32_t steps[] = {1, 2, 5, 6, 21, 22, 276};
    b.pulse(0);
    for (uint32_t v : steps)
        b.pulse(v);
    Outputs expected{{0, 1}};
    int64_t t = 0;
    for (uint32_t v : steps) {
        t += v;
        expected.push_back({t * kTenth, 1});
    }
    EXPECT_EQ(decodeOutputs(b.build()), expected);
}

TEST(PulseBlockDecoder, BurstsAccumulateUntilTheEndBit)
{
    PulseBlockBuilder b;
    b.baseTenths = kBase;
    b.burst(3, 0).burst(1, 1).burst(277, 1).pulse(0);
    // 4 + 2 pulses in the first tenth; 278 in the next; then one more pending at the third
    EXPECT_EQ(decodeOutputs(b.build()), (Outputs{{0, 6}, {kTenth, 278}, {2 * kTenth, 1}}));
}

TEST(PulseBlockDecoder, HeaderKindsCarryTheirEnvironment)
{
    PulseBlock block;
    PulseBlockBuilder k0;
    k0.kind = 0;
    k0.baseTenths = kBase;
    k0.pulse(0);
    EXPECT_EQ(decodeOutputs(k0.build(), &block), (Outputs{{0, 1}}));
    EXPECT_EQ(block.kind, 0);
    EXPECT_FLOAT_EQ(block.environment.voltage, 0.0f);
    EXPECT_FLOAT_EQ(block.environment.temperature, -50.0f);
    EXPECT_EQ(block.environmentTime, kBaseNs);

    PulseBlockBuilder k1;
    k1.kind = 1;
    k1.baseTenths = kBase;
    k1.millivolts = 3615;
    k1.temperatureCode = 65535;
    k1.pulse(0).pulse(4);
    EXPECT_EQ(decodeOutputs(k1.build(), &block), (Outputs{{0, 1}, {4 * kTenth, 1}}));
    EXPECT_EQ(block.kind, 1);
    EXPECT_FLOAT_EQ(block.environment.voltage, 3.615f);
    EXPECT_FLOAT_EQ(block.environment.temperature, 150.0f);
    EXPECT_EQ(block.environmentTime, kBaseNs);

    PulseBlockBuilder k2;
    k2.kind = 2;
    k2.baseTenths = kBase;
    k2.temperatureCode = 22937;  // 22937 / 65535 * 200 - 50 = 20.0 °C
    k2.environmentTimeNs = kBaseNs + 123456789;
    k2.burst(0, 1);
    EXPECT_EQ(decodeOutputs(k2.build(), &block), (Outputs{{0, 1}}));
    EXPECT_EQ(block.kind, 2);
    EXPECT_NEAR(block.environment.temperature, 20.0f, 0.01f);
    EXPECT_EQ(block.environmentTime, kBaseNs + 123456789);
}

TEST(PulseBlockDecoder, RejectsWhatIsNotAPulseBlock)
{
    PulseBlock block;
    QByteArray blank(520, char(0xFF));
    EXPECT_EQ(PulseBlockDecoder::decode(blank.constData(), 520, block), PulseBlockDecoder::Result::Blank);

    QByteArray zeros(520, '\0');
    EXPECT_EQ(PulseBlockDecoder::decode(zeros.constData(), 520, block), PulseBlockDecoder::Result::NotPulseBlock);

    PulseBlockBuilder k0;
    k0.kind = 0;
    k0.size = 15;
    EXPECT_EQ(PulseBlockDecoder::decode(k0.build().constData(), 15, block), PulseBlockDecoder::Result::NotPulseBlock);
    k0.size = 16;  // header only, no entries: a valid empty block
    EXPECT_EQ(PulseBlockDecoder::decode(k0.build().constData(), 16, block), PulseBlockDecoder::Result::Decoded);

    PulseBlockBuilder k2;
    k2.kind = 2;
    k2.size = 27;  // header needs 28 bytes
    EXPECT_EQ(PulseBlockDecoder::decode(k2.build().constData(), 27, block), PulseBlockDecoder::Result::NotPulseBlock);

    PulseBlockBuilder far;
    far.baseTenths = ~uint64_t(0) / 2;  // would overflow as nanoseconds
    far.pulse(0);
    EXPECT_EQ(PulseBlockDecoder::decode(far.build().constData(), 520, block), PulseBlockDecoder::Result::NotPulseBlock);
}

TEST(PulseBlockDecoder, ClaimedEntriesBeyondThePayloadStopAtItsEnd)
{
    // Every stream byte 0x11 holds two entries K=1 v=0; the count claims far more.
    PulseBlockBuilder b;
    b.kind = 1;
    b.baseTenths = kBase;
    b.entryCountOverride = 0xFFFFFFFF;
    QByteArray payload = b.build();
    for (int i = 20; i < payload.size(); ++i)
        payload[i] = char(0x11);
    PulseBlock block;
    EXPECT_EQ(decodeOutputs(payload, &block), (Outputs{{0, 1000}}));
    EXPECT_TRUE(block.truncated);
    EXPECT_EQ(block.entriesRead, 1000u);

    // A payload that ends inside an entry: the complete entries count, the cut one does not.
    PulseBlockBuilder cut;
    cut.kind = 0;
    cut.baseTenths = kBase;
    cut.size = 17;  // 8 stream bits: K1 v0 (4 bits), then K1 with an 8-bit value that is cut
    cut.pulse(0).pulse(100);
    const QByteArray cutPayload = cut.build();
    EXPECT_EQ(decodeOutputs(cutPayload, &block), (Outputs{{0, 1}}));
    EXPECT_TRUE(block.truncated);
    EXPECT_EQ(block.entriesRead, 1u);
}

TEST(PulseBlockDecoder, TimeStopsShortOfOverflow)
{
    // Base time 30 s before the latest time a block may reach: the second skip passes it.
    const uint64_t latest = uint64_t(PulseBlockDecoder::kLatestSafeTime / kTenth);
    PulseBlockBuilder b;
    b.baseTenths = latest - 300;
    b.pulse(1).pulse(277).pulse(277).pulse(0);
    PulseBlock block;
    ASSERT_EQ(PulseBlockDecoder::decode(b.build().constData(), 520, block), PulseBlockDecoder::Result::Decoded);
    ASSERT_EQ(block.outputs.size(), 1u);
    EXPECT_EQ(block.outputs[0].time, int64_t(latest - 299) * kTenth);
    EXPECT_EQ(block.outputs[0].count, 1u);
    EXPECT_TRUE(block.truncated);
    EXPECT_EQ(block.entriesRead, 3u);
}

TEST(PulseBlockDecoder, ReusedBlockStartsClean)
{
    PulseBlock block;
    PulseBlockBuilder a;
    a.baseTenths = kBase;
    a.pulse(0).pulse(0).pulse(5);
    PulseBlockDecoder::decode(a.build().constData(), 520, block);
    ASSERT_EQ(block.outputs.size(), 2u);
    PulseBlockBuilder empty;
    empty.baseTenths = kBase + 10;
    PulseBlockDecoder::decode(empty.build().constData(), 520, block);
    EXPECT_TRUE(block.outputs.empty());
    EXPECT_FALSE(block.truncated);
}
