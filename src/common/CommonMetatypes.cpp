#include "CommonMetatypes.h"

#include "FloatVectors.h"
#include "TimeTypes.h"
#include "XyzSample.h"

#include <QMetaType>
#include <cstddef>
#include <cstdint>

void registerCommonMetatypes()
{
    static const bool registered = [] {
        qRegisterMetaType<uint64_t>("uint64_t");
        qRegisterMetaType<uint32_t>("uint32_t");
        qRegisterMetaType<uint16_t>("uint16_t");
        qRegisterMetaType<uint8_t>("uint8_t");
        qRegisterMetaType<int64_t>("int64_t");
        qRegisterMetaType<int32_t>("int32_t");
        qRegisterMetaType<int16_t>("int16_t");
        qRegisterMetaType<int8_t>("int8_t");
        qRegisterMetaType<size_t>("size_t");
        qRegisterMetaType<float2>("float2");
        qRegisterMetaType<float3>("float3");
        qRegisterMetaType<XyzSample>("XyzSample");
        qRegisterMetaType<XyzSampleTimestamped>("XyzSampleTimestamped");
        qRegisterMetaType<TimeTypes::Epoch1970::NanosI64>("TimeTypes::Epoch1970::NanosI64");
        return true;
    }();
    Q_UNUSED(registered);
}
