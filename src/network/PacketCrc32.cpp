#include "PacketCrc32.h"

#include <array>

namespace {
constexpr uint32_t kPolynomial = 0x04C11DB7u;

// tables[0] is the classic byte table; tables[k][b] is the CRC of byte b followed by k zero
// bytes, which lets four input bytes be folded in one step.
struct CrcTables {
    uint32_t t[4][256];
};

constexpr CrcTables makeTables()
{
    CrcTables tables{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t crc = b << 24;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kPolynomial : (crc << 1);
        tables.t[0][b] = crc;
    }
    for (uint32_t b = 0; b < 256; ++b)
        for (int k = 1; k < 4; ++k) {
            const uint32_t prev = tables.t[k - 1][b];
            tables.t[k][b] = (prev << 8) ^ tables.t[0][prev >> 24];
        }
    return tables;
}

constexpr CrcTables kTables = makeTables();
}  // namespace

uint32_t packetCrc32Bytewise(const void *data, size_t length, uint32_t crc)
{
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; ++i)
        crc = (crc << 8) ^ kTables.t[0][(crc >> 24) ^ p[i]];
    return crc;
}

uint32_t packetCrc32(const void *data, size_t length, uint32_t crc)
{
    const auto *p = static_cast<const uint8_t *>(data);
    while (length >= 4) {
        const uint32_t x = crc ^ (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
        crc = kTables.t[3][x >> 24] ^ kTables.t[2][(x >> 16) & 0xFF] ^ kTables.t[1][(x >> 8) & 0xFF] ^
              kTables.t[0][x & 0xFF];
        p += 4;
        length -= 4;
    }
    return packetCrc32Bytewise(p, length, crc);
}
