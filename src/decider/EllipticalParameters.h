#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

// The learned geometry of one rotation: 22 little-endian floats, no padding. The same 88 bytes
// travel in the logger's algorithm-parameter packets, so the layout must never change.
struct EllipticalParameters {
    float centerX = 0.f, centerY = 0.f, centerZ = 0.f;
    float normalX = 0.f, normalY = 0.f, normalZ = 1.f;
    float innerRadius = 1.f;
    float sphereOffsetU = 0.f, sphereOffsetV = 0.f, sphereOffsetW = 0.f;
    float outerRadius = 1.f;
    // Row-major 3x3 basis; its columns are the unit vectors u, v, w (w = -normal).
    float basis[9] = {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f};
    float zMid = 0.f;
    float zScale = 1.f;

    static constexpr int kByteSize = 88;

    // Projection of (x, y, z) - reference onto u, v, w.
    void project(float dx, float dy, float dz, float *u, float *v, float *w) const
    {
        *u = dx * basis[0] + dy * basis[3] + dz * basis[6];
        *v = dx * basis[1] + dy * basis[4] + dz * basis[7];
        *w = dx * basis[2] + dy * basis[5] + dz * basis[8];
    }

    // The host is little-endian (x86-64, ARM64), so the wire image is the memory image.
    void toBytes(uint8_t *out) const { std::memcpy(out, this, kByteSize); }
    static EllipticalParameters fromBytes(const uint8_t *in)
    {
        EllipticalParameters p;
        std::memcpy(&p, in, kByteSize);
        return p;
    }
};
static_assert(sizeof(EllipticalParameters) == EllipticalParameters::kByteSize,
              "EllipticalParameters is the 88-byte wire block");
static_assert(std::is_trivially_copyable<EllipticalParameters>::value, "EllipticalParameters is copied as raw bytes");
static_assert(offsetof(EllipticalParameters, innerRadius) == 24, "layout");
static_assert(offsetof(EllipticalParameters, outerRadius) == 40, "layout");
static_assert(offsetof(EllipticalParameters, basis) == 44, "layout");
static_assert(offsetof(EllipticalParameters, zMid) == 80, "layout");
