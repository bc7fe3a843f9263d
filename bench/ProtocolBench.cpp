// Packet parsing, CRC and FastLZ, each next to a memcpy of the same bytes in the same run so
// the figures read as ratios.
#include "network/FastLz.h"
#include "network/Network.h"
#include "network/PacketCrc32.h"
#include "network/PacketParser.h"
#include "sim/FastLzEncoder.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <QByteArray>
#include <random>
#include <vector>

namespace {
// A long stream of mixed valid server packets with a little noise between some of them.
const QByteArray &packetStream()
{
    static const QByteArray stream = [] {
        std::mt19937 rng(42);
        QByteArray s;
        QByteArray page(2112, '\0');
        for (auto &c : page)
            c = char(rng() % 7);
        QByteArray block(FastLz::maxCompressedSize(page.size()), '\0');
        block.truncate(FastLz::compress(1, page.constData(), page.size(), block.data()));
        uint16_t id = 1;
        while (s.size() < (4 << 20)) {
            switch (rng() % 5) {
            case 0: {
                QByteArray body(9, '\0');
                const uint16_t n = uint16_t(block.size());
                std::memcpy(body.data(), &n, 2);
                body[8] = 1;
                s += Network::encodePacket(Network::S2C_FlashReadPageResult, id++, body + block);
                break;
            }
            case 1:
                s += Network::encodePacket(Network::S2C_FlashRead528Result, id++, QByteArray(534, '\x5a'));
                break;
            case 2:
                s += Network::encodePacketWithoutId(Network::S2C_DataPoints, QByteArray(54, '\x01'));
                break;
            case 3:
                s += Network::encodePacket(Network::S2C_GetStatsResult, id++, QByteArray(108, '\x02'));
                break;
            default:
                s += Network::encodePacket(Network::S2C_KeepAliveAck, id++);
                s += QByteArray(int(rng() % 5), '\x07');  // noise
                break;
            }
        }
        return s;
    }();
    return stream;
}

void BM_MemcpyStream(benchmark::State &state)
{
    const QByteArray &s = packetStream();
    std::vector<char> dst(size_t(s.size()));
    for (auto _ : state) {
        for (int pos = 0; pos < s.size(); pos += 2048)
            std::memcpy(dst.data() + pos, s.constData() + pos, size_t(std::min(2048, int(s.size()) - pos)));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * s.size());
}
BENCHMARK(BM_MemcpyStream);

void BM_ParseStream(benchmark::State &state)
{
    const QByteArray &s = packetStream();
    size_t packets = 0;
    for (auto _ : state) {
        PacketParser parser;
        parser.setPacketHandler([&](const Network::PacketBase &p, int) {
            benchmark::DoNotOptimize(p.type);
            ++packets;
        });
        for (int pos = 0; pos < s.size(); pos += 2048)
            parser.feed(s.constData() + pos, std::min(2048, int(s.size()) - pos));
        parser.clearBadData();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * s.size());
    state.counters["packets"] = double(packets) / double(state.iterations());
}
BENCHMARK(BM_ParseStream);

std::vector<uint8_t> randomBytes(size_t n)
{
    std::mt19937 rng(5);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = uint8_t(rng());
    return v;
}

void BM_MemcpyPage(benchmark::State &state)
{
    const auto src = randomBytes(2112);
    std::vector<uint8_t> dst(2112);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 2112);
}
BENCHMARK(BM_MemcpyPage);

void BM_Crc32Bytewise(benchmark::State &state)
{
    const auto data = randomBytes(size_t(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(packetCrc32Bytewise(data.data(), data.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32Bytewise)->Arg(528)->Arg(2112)->Arg(1 << 16);

void BM_Crc32(benchmark::State &state)
{
    const auto data = randomBytes(size_t(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(packetCrc32(data.data(), data.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(528)->Arg(2112)->Arg(1 << 16);

// Page contents as the device holds them: erased, records of small symbols, random.
std::vector<uint8_t> pageOfKind(int kind)
{
    std::mt19937 rng(11);
    std::vector<uint8_t> page(2112, 0xFF);
    if (kind == 1)
        for (auto &b : page)
            b = uint8_t(rng() % 4 == 0 ? rng() : 0x11);
    else if (kind == 2)
        for (auto &b : page)
            b = uint8_t(rng());
    return page;
}

void BM_FastLzDecodePage(benchmark::State &state)
{
    const auto page = pageOfKind(int(state.range(0)));
    const int level = int(state.range(1));
    std::vector<uint8_t> block(size_t(FastLz::maxCompressedSize(2112)));
    const int n = FastLz::compress(level, page.data(), 2112, block.data());
    std::vector<uint8_t> out(2112);
    for (auto _ : state) {
        benchmark::DoNotOptimize(FastLz::decompress(block.data(), n, out.data(), 2112));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 2112);
    state.counters["ratio"] = double(n) / 2112.0;
}
BENCHMARK(BM_FastLzDecodePage)->ArgsProduct({{0, 1, 2}, {1, 2}});

void BM_FastLzEncodePage(benchmark::State &state)
{
    const auto page = pageOfKind(int(state.range(0)));
    const int level = int(state.range(1));
    std::vector<uint8_t> block(size_t(FastLz::maxCompressedSize(2112)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(FastLz::compress(level, page.data(), 2112, block.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 2112);
}
BENCHMARK(BM_FastLzEncodePage)->ArgsProduct({{0, 1, 2}, {1, 2}});
}  // namespace

BENCHMARK_MAIN();
