#include "Matrix3.h"

#include <cmath>

Matrix3 Matrix3::fromRows(const float *rows)
{
    Matrix3 r;
    for (int i = 0; i < 9; ++i)
        r.m[i] = rows[i];
    return r;
}

Matrix3 Matrix3::fromColumns(const float3 &a, const float3 &b, const float3 &c)
{
    Matrix3 r;
    const float3 cols[3] = {a, b, c};
    for (int col = 0; col < 3; ++col) {
        r.m[0 * 3 + col] = cols[col].x;
        r.m[1 * 3 + col] = cols[col].y;
        r.m[2 * 3 + col] = cols[col].z;
    }
    return r;
}

float Matrix3::determinant() const
{
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) + m[2] * (m[3] * m[7] - m[4] * m[6]);
}

bool Matrix3::inverse(Matrix3 *out) const
{
    const float det = determinant();
    if (det == 0.f || !std::isfinite(det))
        return false;
    const float inv = 1.f / det;
    Matrix3 r;
    r.m[0] = (m[4] * m[8] - m[5] * m[7]) * inv;
    r.m[1] = (m[2] * m[7] - m[1] * m[8]) * inv;
    r.m[2] = (m[1] * m[5] - m[2] * m[4]) * inv;
    r.m[3] = (m[5] * m[6] - m[3] * m[8]) * inv;
    r.m[4] = (m[0] * m[8] - m[2] * m[6]) * inv;
    r.m[5] = (m[2] * m[3] - m[0] * m[5]) * inv;
    r.m[6] = (m[3] * m[7] - m[4] * m[6]) * inv;
    r.m[7] = (m[1] * m[6] - m[0] * m[7]) * inv;
    r.m[8] = (m[0] * m[4] - m[1] * m[3]) * inv;
    *out = r;
    return true;
}

Matrix3 Matrix3::transposed() const
{
    Matrix3 r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r.m[i * 3 + j] = m[j * 3 + i];
    return r;
}

float3 Matrix3::mul(const float3 &v) const
{
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
            m[6] * v.x + m[7] * v.y + m[8] * v.z};
}
