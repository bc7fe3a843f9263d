#include "RevolutionTracker.h"

#include <cmath>

namespace {
constexpr float kHalfPi = 1.5707964f;
}

bool RevolutionTracker::update(float angle)
{
    const float oldAngle = m_lastAngle;
    m_lastAngle = angle;
    if (std::signbit(angle) == std::signbit(oldAngle))
        return false;
    // A sign change near 0 is a crossing of the positive axis, not a wrap.
    if (std::fabs(angle) <= kHalfPi || std::fabs(oldAngle) <= kHalfPi)
        return false;
    const uint8_t d = std::signbit(angle) ? 1 : 0;
    if (d == m_direction)
        return true;
    m_direction = d;
    return false;
}

void RevolutionTracker::reset()
{
    m_direction = 1;
    m_lastAngle = 0.f;
}
