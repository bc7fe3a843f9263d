#pragma once

// Test-side encoder of the logger's pulse blocks, written from the format description
// independently of the decoder under test.

#include <QByteArray>
#include <QtEndian>

#include <cstdint>
#include <vector>

class PulseBlockBuilder
{
public:
    struct Entry {
        int k;
        uint32_t v;
        int e;  // only used when k == 0
    };

    static constexpr uint32_t kMagic0 = 0xD3EC50E9u;
    static constexpr uint32_t kMagic1 = 0xD3EC50EAu;
    static constexpr uint32_t kMagic2 = 0xD3EC50EBu;

    int kind = 1;
    uint64_t baseTenths = 0;
    uint16_t millivolts = 3300;
    uint16_t temperatureCode = 0;
    int64_t environmentTimeNs = 0;
    std::vector<Entry> entries;
    int64_t entryCountOverride = -1;
    int size = 520;

    PulseBlockBuilder &pulse(uint32_t v)
    {
        entries.push_back({1, v, 0});
        return *this;
    }
    PulseBlockBuilder &burst(uint32_t v, int e)
    {
        entries.push_back({0, v, e});
        return *this;
    }

    QByteArray build() const
    {
        QByteArray out(size, '\0');
        auto put32 = [&](int at, uint32_t v) {
            qToLittleEndian<quint32>(v, reinterpret_cast<uchar *>(out.data() + at));
        };
        auto put16 = [&](int at, uint16_t v) {
            qToLittleEndian<quint16>(v, reinterpret_cast<uchar *>(out.data() + at));
        };
        auto put64 = [&](int at, uint64_t v) {
            qToLittleEndian<quint64>(v, reinterpret_cast<uchar *>(out.data() + at));
        };
        const uint32_t count = entryCountOverride >= 0 ? uint32_t(entryCountOverride) : uint32_t(entries.size());
        int stream;
        if (kind == 0) {
            put32(0, kMagic0);
            put64(4, baseTenths);
            put32(12, count);
            stream = 16;
        } else {
            put32(0, kind == 1 ? kMagic1 : kMagic2);
            put16(4, millivolts);
            put16(6, temperatureCode);
            put64(8, baseTenths);
            if (kind == 1) {
                put32(16, count);
                stream = 20;
            } else {
                put64(16, uint64_t(environmentTimeNs));
                put32(24, count);
                stream = 28;
            }
        }
        int bit = stream * 8;
        auto putBits = [&](uint32_t v, int n) {
            for (int i = 0; i < n; ++i, ++bit) {
                if (bit / 8 >= out.size())
                    return;  // the caller asked for more than fits; the rest is dropped
                if ((v >> i) & 1u)
                    out[bit / 8] = char(uint8_t(out[bit / 8]) | (1u << (bit % 8)));
            }
        };
        for (const Entry &e : entries) {
            putBits(uint32_t(e.k), 1);
            if (e.v <= 1) {
                putBits(0, 1);
                putBits(0, 1);
                putBits(e.v, 1);
            } else if (e.v <= 5) {
                putBits(1, 1);
                putBits(0, 1);
                putBits(e.v - 2, 2);
            } else if (e.v <= 21) {
                putBits(0, 1);
                putBits(1, 1);
                putBits(e.v - 6, 4);
            } else {
                putBits(1, 1);
                putBits(1, 1);
                putBits(e.v - 22, 8);
            }
            if (e.k == 0)
                putBits(uint32_t(e.e), 1);
        }
        return out;
    }
};
