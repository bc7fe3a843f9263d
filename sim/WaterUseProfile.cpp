#include "WaterUseProfile.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

uint64_t splitMix64(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Small generator with its own uniform draws, so a seed gives the same household on every
// standard library.
class Rng
{
public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t next() { return m_state = splitMix64(m_state); }
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    int range(int lo, int hi) { return lo + int(next() % uint64_t(hi - lo + 1)); }
    bool chance(double p) { return uniform() < p; }

private:
    uint64_t m_state;
};

// Noise in [-1, 1) that depends only on the seed and a key.
double hashNoise(uint32_t seed, int64_t key)
{
    const uint64_t h = splitMix64(splitMix64(seed) ^ uint64_t(key));
    return double(h >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

}  // namespace

WaterUseProfile::WaterUseProfile() : WaterUseProfile(Options()) {}

WaterUseProfile::WaterUseProfile(const Options &options)
    : m_options(options), m_household(Household::fromSeed(options.seed))
{
    if (!(m_options.litresPerPulse > 0.0))
        m_options.litresPerPulse = 0.1;
}

void WaterUseProfile::dayFlows(int64_t localDay, std::vector<Flow> &out) const
{
    Rng rng(splitMix64(uint64_t(m_options.seed) * 0x100000001B3ull) ^ uint64_t(localDay));
    const int64_t midnight = localDay * kTenthsPerDay - int64_t(m_options.utcOffsetMinutes) * kTenthsPerMinute;
    auto at = [midnight](double hours) { return midnight + int64_t(hours * 36000.0); };
    auto add = [&out](int64_t start, double minutes, double rate, Use use) {
        const int64_t len = std::max<int64_t>(1, int64_t(minutes * double(kTenthsPerMinute)));
        out.push_back({start, start + len, rate, use});
    };

    // Night: the house sleeps from 23:00 to 06:00, with at most one flush.
    if (rng.chance(0.3))
        add(at(rng.uniform(0.5, 5.5)), rng.uniform(0.6, 0.9), rng.uniform(9, 11), Use::Toilet);

    const int flushes = rng.range(6, 12);
    for (int i = 0; i < flushes; ++i)
        add(at(rng.uniform(6.0, 23.0)), rng.uniform(0.6, 0.9), rng.uniform(9, 11), Use::Toilet);

    const int showers = rng.range(1, 3);
    for (int i = 0; i < showers; ++i)
        add(at(rng.uniform(6.25, 8.5)), rng.uniform(5, 11), rng.uniform(7, 11), Use::Shower);
    if (rng.chance(0.3))
        add(at(rng.uniform(19.0, 22.0)), rng.uniform(5, 10), rng.uniform(7, 11), Use::Shower);

    const int taps = rng.range(8, 20);
    for (int i = 0; i < taps; ++i)
        add(at(rng.uniform(6.5, 22.5)), rng.uniform(0.2, 2.0), rng.uniform(3, 8), Use::Faucet);

    if (rng.chance(0.4)) {  // washing machine: four fills
        double t = rng.uniform(9.0, 18.0);
        for (int i = 0; i < 4; ++i) {
            add(at(t), rng.uniform(1.5, 2.5), rng.uniform(7, 9), Use::ClothesWasher);
            t += rng.uniform(12, 18) / 60.0;
        }
    }
    if (rng.chance(0.6)) {  // dishwasher: three fills
        double t = rng.uniform(19.5, 21.5);
        for (int i = 0; i < 3; ++i) {
            add(at(t), rng.uniform(0.8, 1.2), rng.uniform(4, 6), Use::Dishwasher);
            t += rng.uniform(15, 25) / 60.0;
        }
    }
    if (rng.chance(0.35)) {  // garden irrigation, early morning or evening
        const double start = rng.chance(0.5) ? 5.0 : 20.5;
        add(at(start + rng.uniform(0, 0.5)), rng.uniform(20, 45), rng.uniform(12, 18), Use::Irrigation);
    }
}

std::vector<WaterUseProfile::Flow> WaterUseProfile::flows(int64_t startTenths, int64_t endTenths) const
{
    std::vector<Flow> result;
    if (endTenths <= startTenths)
        return result;
    const int64_t offset = int64_t(m_options.utcOffsetMinutes) * kTenthsPerMinute;
    // One day before, so that an evening flow running past midnight is not lost.
    const int64_t firstDay = floorDiv(startTenths + offset, kTenthsPerDay) - 1;
    const int64_t lastDay = floorDiv(endTenths - 1 + offset, kTenthsPerDay);
    std::vector<Flow> all;
    for (int64_t day = firstDay; day <= lastDay; ++day)
        dayFlows(day, all);
    if (m_options.leak) {
        Rng rng(splitMix64(m_options.seed ^ 0x1EA4ull));
        all.push_back({startTenths, endTenths, rng.uniform(0.03, 0.08), Use::Leak});
    }
    for (Flow f : all) {
        f.startTenths = std::max(f.startTenths, startTenths);
        f.endTenths = std::min(f.endTenths, endTenths);
        if (f.endTenths > f.startTenths)
            result.push_back(f);
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const Flow &a, const Flow &b) { return a.startTenths < b.startTenths; });
    return result;
}

std::vector<PulseBlockEncoder::Pulse> WaterUseProfile::pulses(int64_t startTenths, int64_t endTenths) const
{
    std::vector<PulseBlockEncoder::Pulse> out;
    const std::vector<Flow> list = flows(startTenths, endTenths);
    if (list.empty())
        return out;

    // Sweep the rate changes; the rate is constant between two consecutive change points.
    std::vector<std::pair<int64_t, double>> changes;
    changes.reserve(list.size() * 2);
    for (const Flow &f : list) {
        changes.push_back({f.startTenths, f.litresPerMinute});
        changes.push_back({f.endTenths, -f.litresPerMinute});
    }
    std::sort(changes.begin(), changes.end(), [](const auto &a, const auto &b) { return a.first < b.first; });

    const double perPulse = m_options.litresPerPulse;
    double rate = 0;        // litres per minute
    double sincePulse = 0;  // litres through the meter since its last pulse
    for (size_t i = 0; i < changes.size();) {
        const int64_t segStart = changes[i].first;
        while (i < changes.size() && changes[i].first == segStart)
            rate += changes[i++].second;
        if (rate < 1e-9)
            rate = 0;
        if (i >= changes.size() || rate == 0)
            continue;
        const int64_t segEnd = changes[i].first;
        const double perTenth = rate / double(kTenthsPerMinute);
        double position = double(segStart);
        while (true) {
            const double step = (perPulse - sincePulse) / perTenth;
            if (position + step >= double(segEnd)) {
                sincePulse += (double(segEnd) - position) * perTenth;
                break;
            }
            position += step;
            sincePulse = 0;
            const int64_t tenth = std::min<int64_t>(int64_t(std::floor(position)), segEnd - 1);
            if (!out.empty() && out.back().tenths == tenth)
                ++out.back().count;
            else
                out.push_back({tenth, 1});
        }
    }
    return out;
}

WaterUseProfile::Environment WaterUseProfile::environmentAt(TimeTypes::Epoch1970::NanosI64 time) const
{
    const double seconds = double(time) / 1e9 + double(m_options.utcOffsetMinutes) * 60.0;
    const double days = seconds / 86400.0;
    const double hourOfDay = (days - std::floor(days)) * 24.0;
    const int64_t second = int64_t(std::floor(seconds));
    const double weekPhase = double(m_options.seed % 97) / 97.0 * 2.0 * kPi;

    Environment e;
    e.celsius = 11.0 + 3.5 * std::sin(2.0 * kPi * (hourOfDay - 9.0) / 24.0) +
                1.5 * std::sin(2.0 * kPi * days / 7.0 + weekPhase) + 0.15 * hashNoise(m_options.seed, second);
    // A lithium cell replaced once a year: slow drain, a little sag in the cold.
    const double yearFraction = days / 365.0 - std::floor(days / 365.0);
    e.volts = 3.64 - 0.12 * yearFraction - 0.002 * (12.0 - e.celsius) + 0.004 * hashNoise(m_options.seed + 1, second);
    return e;
}

const char *WaterUseProfile::key(Use use)
{
    switch (use) {
    case Use::Toilet: return "toilet";
    case Use::Shower: return "shower";
    case Use::Faucet: return "faucet";
    case Use::ClothesWasher: return "clothesWasher";
    case Use::Dishwasher: return "dishwasher";
    case Use::Bathtub: return "bathtub";
    case Use::Irrigation: return "irrigation";
    case Use::Leak: return "leak";
    case Use::Other: break;
    }
    return "other";
}

std::vector<WaterUseProfile::UseInstance> WaterUseProfile::uses(int64_t startTenths, int64_t endTenths) const
{
    std::vector<UseInstance> out;
    (void)startTenths;
    (void)endTenths;
    return out;
}
