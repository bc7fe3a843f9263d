#pragma once

#include <cstddef>
#include <cstdint>
#include <QByteArray>

// CRC-32, polynomial 0x04C11DB7, most significant bit first, no reflection, no final XOR.
// `crc` is the starting value (0 for packets) or the result of a previous call to continue.
uint32_t packetCrc32(const void *data, size_t length, uint32_t crc = 0);
inline uint32_t packetCrc32(const QByteArray &data, uint32_t crc = 0)
{
    return packetCrc32(data.constData(), size_t(data.size()), crc);
}

// The byte-at-a-time table form of the same CRC; kept as the reference the faster form is
// checked and measured against.
uint32_t packetCrc32Bytewise(const void *data, size_t length, uint32_t crc = 0);
