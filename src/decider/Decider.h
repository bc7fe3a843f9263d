#pragma once

#include "common/FloatVectors.h"

// Anything that turns magnetometer samples (in sample units) into revolutions.
class Decider
{
public:
    enum AddResult : int {
        AddResult_Still = 0,  // too close to the last moving sample, no pulse
        AddResult_Processed = 1,
        AddResult_Pulse = 2,  // this sample completed a revolution
    };

    virtual ~Decider();
    virtual AddResult addSample(const float3 &sample) = 0;
    virtual float angleRadians() const = 0;
    // 0 = no parameters (not ready), 1 = running with parameters.
    virtual int status() const = 0;
    // Forgets the parameters; always returns 1.
    virtual int reset() = 0;
};
