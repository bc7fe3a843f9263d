#include "SignalStrengthMeter.h"

#include <algorithm>
#include <cmath>

SignalStrengthMeter::SignalStrengthMeter()
{
    float sum = 0.f;
    for (int k = 0; k < kSlots; ++k) {
        m_weights[k] = float(64 - k) / 32.f;
        sum += m_weights[k];
    }
    for (float &w : m_weights)
        w *= 0.00083333335f / sum;
}

float SignalStrengthMeter::update(const float3 &p)
{
    if (m_counter % 16 != 0) {
        ++m_counter;
        return m_value;
    }
    const uint32_t slot = (m_counter / 16) % kSlots;
    m_ring[slot] = p;
    float sum = 0.f;
    for (uint32_t k = 1; k < kSlots; ++k) {
        const float3 &e = m_ring[(slot + k) % kSlots];
        const float dx = e.x - p.x, dy = e.y - p.y, dz = e.z - p.z;
        sum += m_weights[k] * (dx * dx + dy * dy + dz * dz);
    }
    const float l = std::sqrt(sum) - 0.15f;
    m_value = 0.33f * std::max(l, 0.001f) + 0.66999996f * m_value;
    m_value = std::min(m_value, 1.0f);
    ++m_counter;
    return m_value;
}
