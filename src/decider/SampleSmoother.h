#pragma once

#include "common/FloatVectors.h"
#include "common/TimeTypes.h"

// Per-axis constant-acceleration Kalman filter. The three axes share one covariance and gain,
// which is what keeps the cost at a handful of 3x3 products per sample.
class SampleSmoother
{
public:
    SampleSmoother();
    float3 update(const float3 &measurement, TimeTypes::Epoch1970::NanosI64 timestamp);

private:
    using Mat = float[3][3];
    float m_state[3][3] = {};  // per axis: position, rate, acceleration
    Mat m_f = {};
    Mat m_q = {};
    Mat m_p = {};
    float m_k[3] = {};
    static constexpr float kMeasurementNoise = 100.0f;
    TimeTypes::Epoch1970::NanosI64 m_lastTimestamp = 0;
};
