#pragma once

#include "Decider.h"
#include "EllipticalParameters.h"
#include "RevolutionTracker.h"

#include <cstdint>

// Run-time decider: projects each sample into the learned plane, takes its angle around the
// learned center and counts a revolution at each wrap in the established direction.
class EllipticalDecider : public Decider
{
public:
    EllipticalDecider();

    AddResult addSample(const float3 &sample) override;
    float angleRadians() const override;
    int status() const override { return m_status; }
    int reset() override;

    void setParameters(const EllipticalParameters &parameters);
    const EllipticalParameters &parameters() const { return m_parameters; }
    // The wrapper restores the status word carried in a parameter packet.
    void setStatus(int status) { m_status = status; }
    void shiftCenter(float x, float y, float z);

    AddResult lastResult() const { return m_lastResult; }
    float3 projected() const { return m_projected; }
    bool badPoint() const { return m_badPoint != 0; }
    bool inDeadZone() const { return m_deadZone != 0; }
    uint32_t badPointCount() const { return m_badPointCount; }
    uint32_t movesSinceLastPulse() const { return m_movesSinceLastPulse; }
    float deadZoneRadiusSq() const { return m_deadZoneRadiusSq; }
    float innerLimitSq() const { return m_innerLimitSq; }
    float outerLimitSq() const { return m_outerLimitSq; }
    const RevolutionTracker &tracker() const { return m_tracker; }

private:
    int32_t m_status = 0;
    AddResult m_lastResult = AddResult_Processed;
    EllipticalParameters m_parameters;
    float3 m_projected;
    RevolutionTracker m_tracker;
    float3 m_lastMoving;
    uint8_t m_badPoint = 0;
    uint8_t m_deadZone = 0;
    uint32_t m_badPointCount = 0;
    uint32_t m_movesSinceLastPulse = 0;
    float m_deadZoneRadiusSq = 9.f;
    float m_innerLimitSq = 0.f;
    float m_outerLimitSq = 3.4028235e38f;
};
