#pragma once

#include <cstdint>

// A small generator with its own draws, so a seed gives the same household and the same days on
// every standard library and platform.
class SeededRandom
{
public:
    explicit SeededRandom(uint64_t seed) : m_state(seed) {}

    static uint64_t mix(uint64_t x);  // SplitMix64's finaliser

    uint64_t next() { return m_state = mix(m_state); }
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    int range(int lo, int hi) { return lo + int(next() % uint64_t(hi - lo + 1)); }  // [lo, hi]
    bool chance(double p) { return uniform() < p; }
    double normal();  // mean 0, deviation 1
    // Skewed like most durations and volumes of uses: a log-normal draw around `median`,
    // kept within [lo, hi].
    double logNormal(double median, double sigma, double lo, double hi);
    // A count with the given mean (Poisson).
    int poisson(double mean);

private:
    uint64_t m_state;
};
