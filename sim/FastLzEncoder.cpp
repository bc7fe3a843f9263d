#include "FastLzEncoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace FastLz {

namespace {
constexpr int kHashLog = 13;
constexpr int kHashSize = 1 << kHashLog;
constexpr int kMaxLevel1Distance = 8192;
constexpr int kMaxLevel2NearDistance = 8191;
constexpr int kMaxFarDistance = 65535 + kMaxLevel2NearDistance - 1;

inline uint32_t tri(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
}

inline uint32_t hashOf(uint32_t v)
{
    return (v * 2654435769u) >> (32 - kHashLog);
}

uint8_t *writeLiterals(const uint8_t *from, int count, uint8_t *op)
{
    while (count >= 32) {
        *op++ = 31;
        std::memcpy(op, from, 32);
        op += 32;
        from += 32;
        count -= 32;
    }
    if (count > 0) {
        *op++ = uint8_t(count - 1);
        std::memcpy(op, from, size_t(count));
        op += count;
    }
    return op;
}

// `len` is the match length, `dist` its distance (>= 1).
uint8_t *writeMatchLevel1(int len, int dist, uint8_t *op)
{
    const int o = dist - 1;
    while (len > 264) {
        *op++ = uint8_t((7 << 5) + (o >> 8));
        *op++ = 0xFD;
        *op++ = uint8_t(o & 0xFF);
        len -= 262;
    }
    if (len <= 8) {
        *op++ = uint8_t(((len - 2) << 5) + (o >> 8));
        *op++ = uint8_t(o & 0xFF);
    } else {
        *op++ = uint8_t((7 << 5) + (o >> 8));
        *op++ = uint8_t(len - 9);
        *op++ = uint8_t(o & 0xFF);
    }
    return op;
}

uint8_t *writeMatchLevel2(int len, int dist, uint8_t *op)
{
    const bool near = dist <= kMaxLevel2NearDistance;
    const int o = near ? dist - 1 : dist - 8192;
    const int hi = near ? (o >> 8) : 31;
    if (len <= 8) {
        *op++ = uint8_t(((len - 2) << 5) + hi);
    } else {
        *op++ = uint8_t((7 << 5) + hi);
        int rest = len - 9;
        for (; rest >= 255; rest -= 255)
            *op++ = 0xFF;
        *op++ = uint8_t(rest);
    }
    if (near) {
        *op++ = uint8_t(o & 0xFF);
    } else {
        *op++ = 0xFF;
        *op++ = uint8_t(o >> 8);
        *op++ = uint8_t(o & 0xFF);
    }
    return op;
}
}  // namespace

int compress(int level, const void *input, int length, void *output)
{
    if (!input || length <= 0 || !output)
        return 0;
    const bool level2 = level == 2;
    const auto *in = static_cast<const uint8_t *>(input);
    auto *out = static_cast<uint8_t *>(output);
    uint8_t *op = out;

    const int maxDistance = level2 ? kMaxFarDistance : kMaxLevel1Distance;
    const int limit = length - 13;
    std::vector<int> table(kHashSize, 0);

    int anchor = 0;
    int p = 2;
    while (p < limit) {
        int r = 0;
        bool found = false;
        for (;;) {
            const uint32_t h = hashOf(tri(in + p));
            r = table[h];
            table[h] = p;
            if (p + 1 >= limit)
                break;
            if (p - r < maxDistance && tri(in + r) == tri(in + p)) {
                if (level2 && p - r >= kMaxLevel2NearDistance && (in[r + 3] != in[p + 3] || in[r + 4] != in[p + 4])) {
                    ++p;
                    continue;
                }
                found = true;
                break;
            }
            ++p;
        }
        if (!found)
            break;

        op = writeLiterals(in + anchor, p - anchor, op);
        int m = 3;
        while (p + m < length - 5 && in[r + m] == in[p + m])
            ++m;
        op = level2 ? writeMatchLevel2(m, p - r, op) : writeMatchLevel1(m, p - r, op);

        const int e = p + m;
        table[hashOf(tri(in + e - 2))] = e - 2;
        table[hashOf(tri(in + e - 1))] = e - 1;
        p = anchor = e;
    }
    op = writeLiterals(in + anchor, length - anchor, op);
    if (level2)
        out[0] |= 1 << 5;
    return int(op - out);
}

}  // namespace FastLz
