#pragma once

// A modelled meter magnet for the decider tests: the field traces an ellipse in a tilted plane,
// offset from zero, with Gaussian noise, sampled at a fixed rate. The phase is integrated from
// a settable speed so that reversals are continuous and the true revolutions are known.

#include "common/XyzSample.h"

#include <cmath>
#include <cstdint>
#include <random>

struct SyntheticMagnet {
    // Geometry in raw counts (tenths of a sample unit).
    double semiA = 400.0;
    double semiB = 250.0;
    double normal[3] = {0.3, -0.5, 0.81};  // need not be unit length
    double offset[3] = {-300.0, 150.0, 800.0};
    double noise = 8.0;
    double sampleHz = 400.0;
    double revPerSecond = 2.0;  // negative turns the other way

    double phase = 0.0;  // radians turned so far (signed)
    int64_t timestamp = 1700000000LL * 1000000000LL;
    std::mt19937 rng{12345};

    XyzSampleTimestamped next()
    {
        phase += 2.0 * M_PI * revPerSecond / sampleHz;
        timestamp += int64_t(1e9 / sampleHz);
        return at(phase, true);
    }

    // Field at a given phase, optionally with noise.
    XyzSampleTimestamped at(double ph, bool withNoise)
    {
        double u[3], v[3];
        basis(u, v);
        std::normal_distribution<double> n(0.0, noise);
        XyzSampleTimestamped s;
        double p[3];
        for (int i = 0; i < 3; ++i)
            p[i] = offset[i] + semiA * std::cos(ph) * u[i] + semiB * std::sin(ph) * v[i] +
                   (withNoise && noise > 0 ? n(rng) : 0.0);
        s.x = int16_t(std::lround(p[0]));
        s.y = int16_t(std::lround(p[1]));
        s.z = int16_t(std::lround(p[2]));
        s.timestamp = timestamp;
        return s;
    }

    // Two unit vectors spanning the plane orthogonal to `normal`.
    void basis(double *u, double *v) const
    {
        const double len = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
        const double n[3] = {normal[0] / len, normal[1] / len, normal[2] / len};
        const double ref[3] = {std::fabs(n[0]) < 0.9 ? 1.0 : 0.0, std::fabs(n[0]) < 0.9 ? 0.0 : 1.0, 0.0};
        double a[3] = {n[1] * ref[2] - n[2] * ref[1], n[2] * ref[0] - n[0] * ref[2], n[0] * ref[1] - n[1] * ref[0]};
        const double al = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
        for (int i = 0; i < 3; ++i)
            u[i] = a[i] / al;
        v[0] = n[1] * u[2] - n[2] * u[1];
        v[1] = n[2] * u[0] - n[0] * u[2];
        v[2] = n[0] * u[1] - n[1] * u[0];
    }

    double turns() const { return phase / (2.0 * M_PI); }
};
