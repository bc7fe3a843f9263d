#include "SampleSmoother.h"

#include <algorithm>
#include <cmath>

SampleSmoother::SampleSmoother()
{
    const float p0[3][3] = {{37.f, 50.f, 24.f}, {50.f, 270.f, 150.f}, {24.f, 150.f, 205.f}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m_p[i][j] = p0[i][j];
}

float3 SampleSmoother::update(const float3 &z, TimeTypes::Epoch1970::NanosI64 t)
{
    const float meas[3] = {z.x, z.y, z.z};
    if (m_lastTimestamp != 0) {
        // Computed in double so that wildly distant timestamps cannot overflow the difference.
        double dt = (double(t) - double(m_lastTimestamp)) / 1e9;
        dt = std::clamp(dt, 1e-5, 1.0);
        const float c = std::pow(float(dt), 0.44f);

        float f[3][3] = {{1.f, c, 0.f}, {0.f, 1.f, c}, {0.f, 0.f, 1.f}};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                m_f[i][j] = f[i][j];
                m_q[i][j] = i == j ? 2000.f * c : c;
            }

        // P <- F P F^T + Q
        float fp[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                fp[i][j] = m_f[i][0] * m_p[0][j] + m_f[i][1] * m_p[1][j] + m_f[i][2] * m_p[2][j];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                m_p[i][j] = fp[i][0] * m_f[j][0] + fp[i][1] * m_f[j][1] + fp[i][2] * m_f[j][2] + m_q[i][j];

        // H = (1, 0, 0): the gain is P's first column over P00 + R.
        const float s = m_p[0][0] + kMeasurementNoise;
        for (int i = 0; i < 3; ++i)
            m_k[i] = m_p[i][0] / s;
        // P <- (I - K H) P
        const float row0[3] = {m_p[0][0], m_p[0][1], m_p[0][2]};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                m_p[i][j] -= m_k[i] * row0[j];

        for (int a = 0; a < 3; ++a) {
            float pred[3];
            for (int i = 0; i < 3; ++i)
                pred[i] = m_f[i][0] * m_state[a][0] + m_f[i][1] * m_state[a][1] + m_f[i][2] * m_state[a][2];
            const float innovation = meas[a] - pred[0];
            for (int i = 0; i < 3; ++i)
                m_state[a][i] = pred[i] + m_k[i] * innovation;
        }
    } else {
        for (int a = 0; a < 3; ++a) {
            m_state[a][0] = meas[a];
            m_state[a][1] = 0.f;
            m_state[a][2] = 0.f;
        }
    }
    m_lastTimestamp = t;
    return {m_state[0][0], m_state[1][0], m_state[2][0]};
}
