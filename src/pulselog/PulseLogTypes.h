#pragma once

#include "common/TimeTypes.h"

#include <cstdint>

namespace PulseLogTypes {
// Pulses counted at one instant; the log keeps at most one entry per time.
struct TimestampedEntry {
    TimeTypes::Epoch1970::NanosI64 time = 0;
    uint32_t count = 0;
};

// One reading of the logger's supply voltage and board temperature.
struct EnvironmentReading {
    float voltage = 0.0f;      // volts
    float temperature = 0.0f;  // degrees Celsius
};
}  // namespace PulseLogTypes
