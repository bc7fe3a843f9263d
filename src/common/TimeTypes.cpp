#include "TimeTypes.h"

#include <chrono>

namespace TimeTypes {
namespace Epoch1970 {
NanosI64 now()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace Epoch1970
}  // namespace TimeTypes
