#pragma once

#include "common/FloatVectors.h"

// Small row-major 3x3 float matrix for the decider's basis arithmetic.
struct Matrix3 {
    float m[9] = {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f};

    static Matrix3 fromRows(const float *rows);
    // Matrix whose columns are a, b, c.
    static Matrix3 fromColumns(const float3 &a, const float3 &b, const float3 &c);

    float at(int row, int col) const { return m[row * 3 + col]; }
    float determinant() const;
    // General inverse by cofactors. A singular (or non-finite) matrix has none: returns false and
    // leaves *out untouched.
    bool inverse(Matrix3 *out) const;
    Matrix3 transposed() const;
    float3 mul(const float3 &v) const;
};
