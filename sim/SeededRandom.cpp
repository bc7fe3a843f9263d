#include "SeededRandom.h"

#include <algorithm>
#include <cmath>

uint64_t SeededRandom::mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double SeededRandom::normal()
{
    constexpr double kTwoPi = 6.28318530717958647692;
    const double u = 1.0 - uniform();  // (0, 1]: the logarithm stays finite
    return std::sqrt(-2.0 * std::log(u)) * std::cos(kTwoPi * uniform());
}

double SeededRandom::logNormal(double median, double sigma, double lo, double hi)
{
    return std::clamp(median * std::exp(sigma * normal()), lo, hi);
}

int SeededRandom::poisson(double mean)
{
    // Knuth's product of uniforms; the means here are small.
    const double limit = std::exp(-mean);
    int k = 0;
    for (double p = uniform(); p > limit && k < 1000; p *= uniform())
        ++k;
    return k;
}
