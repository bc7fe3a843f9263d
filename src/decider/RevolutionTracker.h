#pragma once

#include <cstdint>

// Counts wraps of an angle across the +-pi line. A wrap only counts when it goes the same way as
// the previous one, so back-and-forth jitter on the wrap line never yields two revolutions.
class RevolutionTracker
{
public:
    // Returns true when this angle completes a revolution.
    bool update(float angle);
    void reset();

    // 1 = last wrap went from +pi to -pi, 0 = from -pi to +pi.
    uint8_t direction() const { return m_direction; }
    float lastAngle() const { return m_lastAngle; }

private:
    uint8_t m_direction = 1;
    float m_lastAngle = 0.f;
};
