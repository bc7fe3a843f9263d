#pragma once

#include <cstdint>
#include <QMetaType>

namespace TimeTypes {
namespace Epoch1970 {
// Signed nanoseconds since 1970-01-01 00:00 UTC.
using NanosI64 = int64_t;

constexpr NanosI64 kNanosPerMilli = 1000000;
constexpr NanosI64 kNanosPerSecond = 1000000000;

NanosI64 now();
inline constexpr NanosI64 fromMillis(int64_t ms)
{
    return ms * kNanosPerMilli;
}
inline constexpr int64_t toMillis(NanosI64 ns)
{
    return ns / kNanosPerMilli;
}
}  // namespace Epoch1970
}  // namespace TimeTypes
