#include "EllipticalDecider.h"

#include "Matrix3.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr float kMovementThresholdSq = 18.7489f;  // 4.33 sample units
constexpr float kPi = 3.1415927f;
}  // namespace

EllipticalDecider::EllipticalDecider()
{
    reset();
}

int EllipticalDecider::reset()
{
    m_status = 0;
    m_lastResult = AddResult_Processed;
    // zMid and zScale survive a reset; they are only read while parameters are installed.
    const float zMid = m_parameters.zMid;
    const float zScale = m_parameters.zScale;
    m_parameters = EllipticalParameters();
    m_parameters.zMid = zMid;
    m_parameters.zScale = zScale;
    m_projected = float3();
    m_tracker.reset();
    m_lastMoving = float3();
    m_badPoint = 0;
    m_deadZone = 0;
    m_badPointCount = 0;
    m_movesSinceLastPulse = 0;
    m_deadZoneRadiusSq = 9.f;
    m_innerLimitSq = 0.f;
    m_outerLimitSq = 3.4028235e38f;
    return 1;
}

void EllipticalDecider::setParameters(const EllipticalParameters &parameters)
{
    m_parameters = parameters;
    const float dz = 0.70710677f * parameters.innerRadius;
    m_deadZoneRadiusSq = std::max(dz * dz, 9.f);
    const float inner = 0.9f * parameters.innerRadius;
    m_innerLimitSq = inner * inner;
    const float outer = 1.1f * parameters.outerRadius;
    m_outerLimitSq = outer * outer;
    m_badPointCount = 0;
    m_movesSinceLastPulse = 0;
    m_status = 1;
}

float EllipticalDecider::angleRadians() const
{
    return m_tracker.lastAngle() + kPi;
}

Decider::AddResult EllipticalDecider::addSample(const float3 &s)
{
    const float mx = s.x - m_lastMoving.x, my = s.y - m_lastMoving.y, mz = s.z - m_lastMoving.z;
    const bool moving = !(mx * mx + my * my + mz * mz < kMovementThresholdSq);
    if (moving)
        m_lastMoving = s;

    if (m_status == 0) {
        m_projected = s;
        return m_lastResult = AddResult_Processed;
    }

    const EllipticalParameters &p = m_parameters;
    p.project(s.x - p.centerX, s.y - p.centerY, s.z - p.centerZ, &m_projected.x, &m_projected.y, &m_projected.z);
    const float px = m_projected.x, py = m_projected.y, pz = m_projected.z;
    const float r2 = px * px + py * py;

    if (m_deadZoneRadiusSq > r2) {
        m_badPoint = 0;
        m_deadZone = 1;
        return m_lastResult = AddResult_Processed;
    }
    m_deadZone = 0;
    const bool pulse = m_tracker.update(std::atan2(py, px));

    if (m_status == 1) {
        const float ou = p.sphereOffsetU - px, ov = p.sphereOffsetV - py;
        const bool bad =
            std::fabs((pz - p.zMid) * p.zScale) > 1.05f || m_innerLimitSq > r2 || ou * ou + ov * ov > m_outerLimitSq;
        m_badPoint = bad ? 1 : 0;
        if (moving) {
            ++m_movesSinceLastPulse;
            if (bad)
                ++m_badPointCount;
            if (pulse) {
                m_movesSinceLastPulse = 0;
                return m_lastResult = AddResult_Pulse;
            }
            return m_lastResult = AddResult_Processed;
        }
    }
    if (pulse)
        return m_lastResult = AddResult_Pulse;
    return m_lastResult = moving ? AddResult_Processed : AddResult_Still;
}

void EllipticalDecider::shiftCenter(float x, float y, float z)
{
    // center -= (M^-1)^T (x, y, z); the general inverse keeps this right for any basis block the
    // logger might send, not only orthonormal ones.
    Matrix3 inv;
    if (!Matrix3::fromRows(m_parameters.basis).inverse(&inv))
        return;  // a singular basis (e.g. a zeroed block from the logger) has no defined shift
    const float3 d = inv.transposed().mul({x, y, z});
    m_parameters.centerX -= d.x;
    m_parameters.centerY -= d.y;
    m_parameters.centerZ -= d.z;
}
