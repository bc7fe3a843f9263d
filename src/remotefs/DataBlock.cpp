#include "DataBlock.h"

#include "network/PacketCrc32.h"

#include <cstring>
#include <QDebug>

uint32_t DataBlock::recordId(const uint8_t *record)
{
    uint32_t v;
    std::memcpy(&v, record + 520, 4);
    return v;
}

uint32_t DataBlock::storedCrc(const uint8_t *record)
{
    uint32_t v;
    std::memcpy(&v, record + 524, 4);
    return v;
}

uint32_t DataBlock::computeCrc(const uint8_t *record)
{
    const uint32_t first = packetCrc32(record, 522, 0);
    return packetCrc32(record + 520, 4, first);
}

bool DataBlock::checkCrc(const uint8_t *record)
{
    const uint32_t stored = storedCrc(record);
    const uint32_t computed = computeCrc(record);
    if (stored != computed) {
        qWarning() << "SpiFlash datablock checksum fail!" << stored << computed;
        return false;
    }
    return true;
}

bool DataBlock::isBlank(const uint8_t *bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0xFF)
            return false;
    }
    return true;
}
