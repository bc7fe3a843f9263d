#include "RequestOutcomes.h"

RequestOutcomes::RequestOutcomes() : m_outcomes(kIds, int8_t(-1)) {}

void RequestOutcomes::record(uint16_t requestId, TarrowindFirmware::PacketOutcome outcome)
{
    if (!m_any) {
        m_any = true;
        m_newest = requestId;
    }
    // Requests finish nearly in order: an id less than half a round ahead of the newest is
    // newer. Moving the newest on forgets the ids just as far ahead of it as half a round,
    // which were last used in the previous round.
    const uint16_t ahead = uint16_t(requestId - m_newest);
    if (ahead != 0 && ahead < kHalfRound) {
        for (uint16_t step = 1; step <= ahead; ++step)
            m_outcomes[uint16_t(m_newest + kHalfRound + step)] = -1;
        m_newest = requestId;
    }
    m_outcomes[requestId] = int8_t(outcome);
}

bool RequestOutcomes::contains(uint16_t requestId) const
{
    return m_outcomes[requestId] >= 0;
}

bool RequestOutcomes::take(uint16_t requestId, TarrowindFirmware::PacketOutcome *outcome)
{
    if (m_outcomes[requestId] < 0)
        return false;
    *outcome = TarrowindFirmware::PacketOutcome(m_outcomes[requestId]);
    m_outcomes[requestId] = -1;
    return true;
}
