#pragma once

#include "network/TarrowindFirmware.h"

#include <cstdint>
#include <vector>

// Outcomes of finished requests, kept by request id until a waiting command takes them (a
// request may finish before anyone waits for it, for example when it is cancelled at once).
// Request ids are 16 bits and wrap after 65535 requests, and most outcomes (keep-alive polls,
// flash reads of a download) are never taken: an outcome left over from one round of ids must
// not answer for the request that gets its id in the next round. So as the newest finished id
// moves on, every outcome half a round behind it is forgotten.
class RequestOutcomes
{
public:
    RequestOutcomes();

    void record(uint16_t requestId, TarrowindFirmware::PacketOutcome outcome);
    bool contains(uint16_t requestId) const;
    // Removes and returns the outcome of `requestId`; false when there is none.
    bool take(uint16_t requestId, TarrowindFirmware::PacketOutcome *outcome);

private:
    static constexpr int kIds = 65536;
    static constexpr uint16_t kHalfRound = 32768;

    std::vector<int8_t> m_outcomes;  // by id; -1: none
    uint16_t m_newest = 0;
    bool m_any = false;
};
