#pragma once

#include "TimeTypes.h"

#include <cstdint>
#include <QMetaType>

// One magnetometer sample; one raw count is 0.1 sample unit for the decider.
struct XyzSample {
    int16_t x = 0;
    int16_t y = 0;
    int16_t z = 0;
};
static_assert(sizeof(XyzSample) == 6, "XyzSample is 6 bytes on the wire");

#pragma pack(push, 1)
struct XyzSampleTimestamped {
    int16_t x = 0;
    int16_t y = 0;
    int16_t z = 0;
    TimeTypes::Epoch1970::NanosI64 timestamp = 0;

    XyzSample sample() const { return XyzSample{x, y, z}; }
};
#pragma pack(pop)
static_assert(sizeof(XyzSampleTimestamped) == 14, "XyzSampleTimestamped is 14 bytes packed");

inline bool operator==(const XyzSample &a, const XyzSample &b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z;
}
inline bool operator==(const XyzSampleTimestamped &a, const XyzSampleTimestamped &b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z && a.timestamp == b.timestamp;
}

Q_DECLARE_METATYPE(XyzSample)
Q_DECLARE_METATYPE(XyzSampleTimestamped)
