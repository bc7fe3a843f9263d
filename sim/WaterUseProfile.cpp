#include "WaterUseProfile.h"

#include "SeededRandom.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

// How often, when and how each use happens. Rates per person and day follow the Residential
// End Uses of Water studies (1999, 2016): about five flushes, 0.7 showers, a dozen faucet draws,
// 0.3 clothes-washer loads and 0.1 dishwasher loads a person a day, baths now and then;
// durations and flows the South-East Queensland and REUS event distributions (showers of 4–15
// min around 8, faucet draws of seconds to a few minutes, mostly short). Irrigation runs early
// on its scheduled days, more often in summer (northern hemisphere).

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int64_t kTenthsPerHour = 36000;

using Use = WaterUseProfile::Use;
using Flow = WaterUseProfile::Flow;

// Noise in [-1, 1) that depends only on the seed and a key.
double hashNoise(uint32_t seed, int64_t key)
{
    const uint64_t h = SeededRandom::mix(SeededRandom::mix(seed) ^ uint64_t(key));
    return double(h >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

int64_t tenthsOf(double seconds)
{
    return std::max<int64_t>(1, std::llround(seconds * 10.0));
}

// One day's uses as they are drawn: each use takes the next instance id of the day and lays its
// segments down one after the other.
class DayWriter
{
public:
    DayWriter(int64_t localDay, int64_t midnight, uint64_t firstCounter, std::vector<Flow> &out)
        : m_midnight(midnight), m_nextId((uint64_t(localDay) << 12) | firstCounter), m_out(out)
    {
    }

    int64_t at(double hour) const { return m_midnight + int64_t(hour * double(kTenthsPerHour)); }

    void begin(Use use, int64_t start)
    {
        m_use = use;
        m_id = m_nextId++;
        m_cursor = start;
    }
    // Water at `litresPerMinute` for `seconds` from where the use stands.
    void run(double seconds, double litresPerMinute)
    {
        const int64_t end = m_cursor + tenthsOf(seconds);
        m_out.push_back({m_cursor, end, litresPerMinute, m_use, m_id});
        m_cursor = end;
    }
    // `litres` at `litresPerMinute`.
    void draw(double litres, double litresPerMinute) { run(litres / litresPerMinute * 60.0, litresPerMinute); }
    void pause(double seconds) { m_cursor += tenthsOf(seconds); }
    // On to `minutes` after `from` (a fill's start), or on at once when the use is already past it.
    void resumeAfter(int64_t from, double minutes) { m_cursor = std::max(m_cursor, from + tenthsOf(minutes * 60.0)); }
    int64_t cursor() const { return m_cursor; }

private:
    int64_t m_midnight;
    uint64_t m_nextId;
    std::vector<Flow> &m_out;
    Use m_use = Use::Other;
    uint64_t m_id = 0;
    int64_t m_cursor = 0;
};

// The fill valve opens fully and closes as the float rises: the last 15–25 % of the cistern comes
// in at a falling rate.
void flush(DayWriter &day, SeededRandom &rng, const Household::Toilet &toilet)
{
    const bool half = toilet.halfFlushLitres > 0 && rng.chance(0.6);
    const double litres =
        std::clamp((half ? toilet.halfFlushLitres : toilet.fullFlushLitres) * rng.uniform(0.95, 1.05), 4.8, 13.0);
    const double rate = toilet.fillLitresPerMinute * rng.uniform(0.95, 1.05);
    const double tail = litres * rng.uniform(0.15, 0.25);
    day.draw(litres - tail, rate);
    for (double step : {0.8, 0.6, 0.4, 0.2})
        day.draw(tail / 4, rate * step);
}

const Household::Toilet &pickToilet(const Household &h, SeededRandom &rng)
{
    double pick = rng.uniform();
    for (const Household::Toilet &t : h.toilets) {
        if (pick < t.share)
            return t;
        pick -= t.share;
    }
    return h.toilets.front();
}

// A shower runs 4–15 minutes in all; a third of them stop once or twice (soaping) for up to 3.
void shower(DayWriter &day, SeededRandom &rng, const Household &h)
{
    const double rate = std::max(6.0, h.showerLitresPerMinute * rng.uniform(0.9, 1.0));  // the mixer near open
    const double running = rng.logNormal(8.0, 0.35, 4.0, 15.0) * 60.0;
    const int pauses = rng.chance(0.35) ? rng.range(1, 2) : 0;
    // Turned on, then set: the first seconds run below the settled flow.
    const double adjust = rng.uniform(3.0, 10.0);
    day.run(adjust, rate * rng.uniform(0.5, 0.8));
    double left = running - adjust;
    for (int p = 0; p < pauses; ++p) {
        const double part = left * rng.uniform(0.3, 0.6);
        day.run(part, rate);
        left -= part;
        day.pause(rng.uniform(20.0, 180.0));
    }
    day.run(left, rate);
}

// 2–5 fills of 5–25 L at 8–15 L/min, 10–30 minutes apart, over a 40–120 minute cycle where the
// fills allow it; front loaders' valves often pulse, splitting a fill in two.
void washerCycle(DayWriter &day, SeededRandom &rng, const Household &h)
{
    const int fills = h.washerFills;
    const double lo = std::max(40.0, 10.0 * (fills - 1)), hi = std::min(120.0, 30.0 * (fills - 1));
    const double cycle = lo < hi ? rng.uniform(lo, hi) : hi;
    for (int f = 0; f < fills; ++f) {
        const int64_t fillStart = day.cursor();
        const double litres = std::clamp(h.washerFillLitres * rng.uniform(0.8, 1.2), 5.0, 25.0);
        const double rate = h.washerFillLitresPerMinute * rng.uniform(0.95, 1.05);
        if (rng.chance(0.4)) {
            const double part = litres * rng.uniform(0.4, 0.7);
            day.draw(part, rate);
            day.pause(rng.uniform(3.0, 15.0));
            day.draw(litres - part, rate);
        } else {
            day.draw(litres, rate);
        }
        day.resumeAfter(fillStart, std::clamp(cycle / (fills - 1) * rng.uniform(0.85, 1.15), 10.0, 30.0));
    }
}

// 3–6 fills of 1–5 L spread over a 60–150 minute programme, the last one the final rinse.
void dishwasherCycle(DayWriter &day, SeededRandom &rng, const Household &h)
{
    const int fills = h.dishwasherFills;
    const double step = rng.uniform(60.0, 150.0) * rng.uniform(0.8, 0.95) / (fills - 1);
    for (int f = 0; f < fills; ++f) {
        const int64_t fillStart = day.cursor();
        day.draw(std::clamp(h.dishwasherFillLitres * rng.uniform(0.85, 1.15), 1.0, 5.0),
                 h.dishwasherFillLitresPerMinute * rng.uniform(0.95, 1.05));
        day.resumeAfter(fillStart, step * rng.uniform(0.85, 1.15));
    }
}

// 80–150 L; now and then the bather stops to feel the water and tops it up.
void bath(DayWriter &day, SeededRandom &rng, const Household &h)
{
    const double litres = rng.uniform(80.0, 150.0);
    const double rate = h.bathLitresPerMinute * rng.uniform(0.9, 1.0);
    if (rng.chance(0.3)) {
        const double first = litres * rng.uniform(0.8, 0.9);
        day.draw(first, rate);
        day.pause(rng.uniform(60.0, 240.0));
        day.draw(litres - first, rate * rng.uniform(0.6, 1.0));
    } else {
        day.draw(litres, rate);
    }
}

// The zones one after another, the valves switching over in a few seconds.
void irrigationRun(DayWriter &day, SeededRandom &rng, const Household &h)
{
    for (size_t z = 0; z < h.zoneLitresPerMinute.size(); ++z) {
        if (z > 0)
            day.pause(rng.uniform(2.0, 20.0));
        day.run(h.zoneMinutes * 60.0 * rng.uniform(0.95, 1.05), h.zoneLitresPerMinute[z] * rng.uniform(0.97, 1.03));
    }
}

}  // namespace

WaterUseProfile::WaterUseProfile() : WaterUseProfile(Options()) {}

WaterUseProfile::WaterUseProfile(const Options &options)
    : m_options(options), m_household(Household::fromSeed(options.seed))
{
    if (!(m_options.litresPerPulse > 0.0))
        m_options.litresPerPulse = 0.1;
}

const char *WaterUseProfile::key(Use use)
{
    static const char *const kKeys[kUseCount] = {"toilet",  "shower",     "faucet", "clothesWasher", "dishwasher",
                                                 "bathtub", "irrigation", "leak",   "other"};
    const int i = int(use);
    return i >= 0 && i < kUseCount ? kKeys[i] : "other";
}

void WaterUseProfile::dayFlows(int64_t localDay, std::vector<Flow> &out) const
{
    const Household &h = m_household;
    const int64_t midnight = localDay * kTenthsPerDay - int64_t(m_options.utcOffsetMinutes) * kTenthsPerMinute;
    SeededRandom rng(SeededRandom::mix(uint64_t(m_options.seed) * 0x100000001B3ull) ^ uint64_t(localDay));
    DayWriter day(localDay, midnight, 1, out);
    const double wake = h.wakeHour + rng.uniform(-0.4, 0.4);
    const double bed = h.bedHour + rng.uniform(-0.4, 0.4);
    auto waking = [&] { return rng.uniform(wake, bed); };
    auto startAt = [&](Use use, double hour) { day.begin(use, day.at(hour)); };

    for (int p = 0; p < h.persons; ++p) {
        // Toilets: through the waking day, more on rising and before bed; a few at night.
        const int flushes = rng.poisson(5.0);
        for (int i = 0; i < flushes; ++i) {
            const double kind = rng.uniform();
            startAt(Use::Toilet, kind < 0.3    ? wake + rng.uniform(0.0, 1.0)
                                 : kind < 0.45 ? bed - rng.uniform(0.0, 1.0)
                                               : waking());
            flush(day, rng, pickToilet(h, rng));
        }
        if (rng.chance(0.12)) {
            startAt(Use::Toilet, rng.uniform(0.5, wake - 0.3));
            flush(day, rng, pickToilet(h, rng));
        }
        // Showers: mostly on rising, otherwise in the evening.
        if (rng.chance(0.7)) {
            startAt(Use::Shower, rng.chance(0.65) ? wake + rng.uniform(0.0, 1.5) : rng.uniform(19.0, bed - 0.5));
            shower(day, rng, h);
        }
        // Faucets: many short draws, bunched around the meals.
        const int draws = rng.poisson(12.0);
        for (int i = 0; i < draws; ++i) {
            const double slot = rng.uniform();
            startAt(Use::Faucet, slot < 0.2   ? wake + rng.uniform(0.2, 1.2)
                                 : slot < 0.3 ? rng.uniform(12.0, 13.5)
                                 : slot < 0.6 ? rng.uniform(17.5, 20.0)
                                              : waking());
            day.run(rng.logNormal(20.0, 0.9, 5.0, 180.0),
                    std::max(1.0, h.faucetLitresPerMinute * rng.uniform(0.25, 1.0)));
        }
        if (h.bathtub && rng.chance(0.08)) {
            startAt(Use::Bathtub, rng.uniform(18.0, std::max(18.5, bed - 1.0)));
            bath(day, rng, h);
        }
    }

    if (h.clothesWasher) {
        const int loads = std::min(3, rng.poisson(0.3 * h.persons));
        for (int i = 0; i < loads; ++i) {
            startAt(Use::ClothesWasher, rng.uniform(std::max(8.0, wake), 19.0));
            washerCycle(day, rng, h);
        }
    }
    if (h.dishwasher && rng.chance(std::min(0.9, 0.15 + 0.12 * h.persons))) {
        startAt(Use::Dishwasher, rng.chance(0.75) ? rng.uniform(19.5, 21.5) : rng.uniform(13.0, 15.0));
        dishwasherCycle(day, rng, h);
    }
    // Irrigation on its scheduled days unless rain or the season makes it skip.
    const int weekday = int((localDay + 3) % 7 + 7) % 7;  // Monday 0: 1970-01-01 was a Thursday
    const double summer = 0.5 + 0.5 * std::cos(2.0 * kPi * (double(localDay) / 365.2425 - 196.0 / 365.2425));
    if (h.irrigation && (h.irrigationWeekdays >> weekday & 1) && rng.chance(0.3 + 0.65 * summer)) {
        startAt(Use::Irrigation, h.irrigationStartHour + rng.uniform(0.0, 0.1));
        irrigationRun(day, rng, h);
    }
    // Other uses: a bucket, a hose, a water softener's regeneration.
    const int others = rng.poisson(0.1 * h.persons);
    for (int i = 0; i < others; ++i) {
        startAt(Use::Other, waking());
        day.run(rng.logNormal(90.0, 0.7, 30.0, 600.0), rng.uniform(5.0, 20.0));
    }

    if (m_options.flapper) {
        // Its own generator, so that the flapper leaves the day's other uses as they were.
        SeededRandom leak(SeededRandom::mix(rng.next() ^ 0xF1A99E4ull));
        DayWriter refills(localDay, midnight, 2048, out);
        const Household::Toilet &t = h.toilets.front();
        const double every = h.flapperEveryMinutes * double(kTenthsPerMinute);
        for (double at = leak.uniform(0.0, every); at < double(kTenthsPerDay); at += every * leak.uniform(0.85, 1.15)) {
            refills.begin(Use::Leak, midnight + int64_t(at));
            refills.draw(h.flapperLitres * leak.uniform(0.9, 1.1), t.fillLitresPerMinute);
        }
    }
}

std::vector<WaterUseProfile::Flow> WaterUseProfile::flows(int64_t startTenths, int64_t endTenths) const
{
    std::vector<Flow> result;
    if (endTenths <= startTenths)
        return result;
    const int64_t offset = int64_t(m_options.utcOffsetMinutes) * kTenthsPerMinute;
    // One day before, so that an evening use running past midnight is not lost.
    const int64_t firstDay = floorDiv(startTenths + offset, kTenthsPerDay) - 1;
    const int64_t lastDay = floorDiv(endTenths - 1 + offset, kTenthsPerDay);
    std::vector<Flow> all;
    for (int64_t day = firstDay; day <= lastDay; ++day)
        dayFlows(day, all);
    if (m_options.leak)
        all.push_back({startTenths, endTenths, m_household.dripLitresPerHour / 60.0, Use::Leak, 0});
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

std::vector<WaterUseProfile::UseInstance> WaterUseProfile::uses(int64_t startTenths, int64_t endTenths) const
{
    std::vector<UseInstance> out;
    std::unordered_map<uint64_t, size_t> index;
    for (const Flow &f : flows(startTenths, endTenths)) {
        const double litres = f.litresPerMinute * double(f.endTenths - f.startTenths) / double(kTenthsPerMinute);
        const auto found = index.emplace(f.instance, out.size());
        if (found.second) {
            out.push_back({f.use, f.instance, f.startTenths, f.endTenths, litres});
            continue;
        }
        UseInstance &u = out[found.first->second];
        u.endTenths = std::max(u.endTenths, f.endTenths);
        u.litres += litres;
    }
    return out;
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
