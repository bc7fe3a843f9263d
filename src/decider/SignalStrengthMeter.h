#pragma once

#include "common/FloatVectors.h"

#include <cstdint>

// Rough 0..1 measure of how much the signal moves: every 16th sample is compared with the last
// 31 kept ones (older ones weigh more) and the excess over a noise floor is smoothed.
class SignalStrengthMeter
{
public:
    SignalStrengthMeter();
    float update(const float3 &p);
    float value() const { return m_value; }

private:
    static constexpr int kSlots = 32;
    float3 m_ring[kSlots];
    float m_weights[kSlots];
    uint32_t m_counter = 0;
    float m_value = 0.f;
};
