#include "CommonMetatypes.h"

#include "FloatVectors.h"
#include "TimeTypes.h"
#include "XyzSample.h"

#include <cstddef>
#include <cstdint>
#include <QMetaType>
#include <type_traits>

namespace {
template <typename T, typename QtType> void registerIntegerAlias(const char *name)
{
    static_assert(sizeof(T) == sizeof(QtType) && std::is_signed<T>::value == std::is_signed<QtType>::value,
                  "an alias must have the same width and signedness");
    QMetaType::registerTypedef(name, qMetaTypeId<QtType>());
}
}  // namespace

void registerCommonMetatypes()
{
    static const bool registered = [] {
        // Scripts get numbers only for Qt's own 64-bit types (qlonglong, qulonglong); where the
        // fixed-width types are `long`, a property of such a type would reach QML as an opaque
        // object ("0" + 1 == "01"). The 64-bit names are therefore aliases of Qt's types of the
        // same width and signedness, which is binary compatible.
        registerIntegerAlias<uint64_t, qulonglong>("uint64_t");
        qRegisterMetaType<uint32_t>("uint32_t");
        qRegisterMetaType<uint16_t>("uint16_t");
        qRegisterMetaType<uint8_t>("uint8_t");
        registerIntegerAlias<int64_t, qlonglong>("int64_t");
        qRegisterMetaType<int32_t>("int32_t");
        qRegisterMetaType<int16_t>("int16_t");
        qRegisterMetaType<int8_t>("int8_t");
        registerIntegerAlias<size_t, qulonglong>("size_t");
        qRegisterMetaType<float2>("float2");
        qRegisterMetaType<float3>("float3");
        qRegisterMetaType<XyzSample>("XyzSample");
        qRegisterMetaType<XyzSampleTimestamped>("XyzSampleTimestamped");
        registerIntegerAlias<TimeTypes::Epoch1970::NanosI64, qlonglong>("TimeTypes::Epoch1970::NanosI64");
        return true;
    }();
    Q_UNUSED(registered);
}
