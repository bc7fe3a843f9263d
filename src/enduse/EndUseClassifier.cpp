#include "EndUseClassifier.h"

#include <algorithm>
#include <cmath>

namespace {
using EndUse::Event;
using EndUse::Use;
using Fragment = FlowSegmenter::Fragment;
using NanosI64 = FlowSegmenter::NanosI64;

constexpr NanosI64 kSecondNs = 1'000'000'000LL;
constexpr NanosI64 kMinuteNs = 60 * kSecondNs;

// A fragment, or several that are one use (a shower's runs between pauses), while it is judged.
struct Candidate {
    NanosI64 start = 0, end = 0;
    double litres = 0, rate = 0, peak = 0;
    int pieces = 1;
    bool tapered = false;
    // false where the rate is not a plateau's: a use overlapped by another (the step pairing's
    // guess) or a short use of a per-minute trace
    bool rateShown = true;
    bool perMinute = false;  // of a per-minute trace: it spans the minutes it touched
    bool assigned = false;
    Use use = Use::Other;
    int group = -1;                   // the event it joins when several candidates make one (a cycle, a run)
    std::vector<EndUse::Part> parts;  // when joined from several runs

    double seconds() const { return double(end - start) / double(kSecondNs); }
};

bool near(double a, double b, double relative, double absolute = 0)
{
    return std::fabs(a - b) <= std::max(absolute, relative * std::max(a, b));
}

constexpr double kIrrigationRate = 18.5;

bool longRun(const Candidate &c)
{
    return c.seconds() >= (c.perMinute ? 300 : 200) && c.rate >= 4 && c.rate < kIrrigationRate && c.litres >= 12;
}

// A shower paused for soap is one shower: runs at the same rate with breaks of up to three and a
// half minutes are joined when they are long enough not to be taps or flushes. A valve that
// stutters for a few seconds at the same rate is one fill.
std::vector<Candidate> joinPauses(const std::vector<Fragment> &fragments, bool perMinute)
{
    std::vector<Candidate> out;
    out.reserve(fragments.size());
    for (const Fragment &f : fragments) {
        Candidate c;
        c.start = f.start;
        c.end = f.end;
        c.litres = f.litres;
        c.rate = f.rate;
        c.peak = f.peak;
        c.tapered = f.tapered && !perMinute;  // a minute shows no float valve closing
        c.rateShown = !f.overlapped && (!perMinute || c.seconds() >= 240);
        c.perMinute = perMinute;
        out.push_back(c);
    }
    std::vector<Candidate> joined;
    std::vector<bool> used(out.size(), false);
    for (size_t i = 0; i < out.size(); ++i) {
        if (used[i])
            continue;
        Candidate c = out[i];
        bool hasLong = c.seconds() >= 150;
        if (c.rate >= 4 && c.rate < kIrrigationRate && c.seconds() >= 20) {
            for (size_t j = i + 1; j < out.size() && out[j].start <= c.end + 3 * kMinuteNs + 30 * kSecondNs; ++j) {
                const Candidate &n = out[j];
                if (used[j] || n.start < c.end || n.seconds() < 20 || !near(n.rate, c.rate, 0.2, 1.5))
                    continue;
                // a valve that stutters for a few seconds is still the same fill
                const bool stutter =
                    n.start - c.end <= 20 * kSecondNs && c.rateShown && n.rateShown && near(n.rate, c.rate, 0.08);
                const bool longAfter = ((hasLong || n.seconds() >= 150) && c.seconds() >= 40 && n.seconds() >= 40) ||
                                       (c.seconds() >= 100 && n.seconds() >= 100 && near(n.rate, c.rate, 0.1));
                if (!longAfter && !stutter)
                    break;
                if (c.parts.empty())
                    c.parts.push_back(EndUse::Part{c.start, c.end, c.litres});
                c.parts.push_back(EndUse::Part{n.start, n.end, n.litres});
                c.litres += n.litres;
                c.peak = std::max(c.peak, n.peak);
                c.rate = std::max(c.rate, n.rate);
                c.end = n.end;
                c.tapered = n.tapered;
                c.pieces += stutter ? 0 : 1;
                hasLong = c.seconds() >= 150;
                used[j] = true;
            }
        }
        joined.push_back(c);
    }
    return joined;
}

// The value most candidates cluster around (within `relative`), weighted by count; 0 when fewer
// than `least` agree.
double mode(const std::vector<double> &values, double relative, size_t least)
{
    double best = 0;
    size_t bestCount = 0;
    for (double v : values) {
        size_t n = 0;
        double sum = 0;
        for (double w : values) {
            if (near(v, w, relative)) {
                ++n;
                sum += w;
            }
        }
        if (n > bestCount) {
            bestCount = n;
            best = sum / double(n);
        }
    }
    return bestCount >= least ? best : 0;
}

void irrigationRuns(std::vector<Candidate> &cs, int &groups)
{
    for (Candidate &c : cs) {
        if (c.rate >= kIrrigationRate && c.litres >= 40 && c.litres / c.seconds() * 60 >= 0.75 * kIrrigationRate) {
            c.use = Use::Irrigation;
            c.assigned = true;
        }
    }
    // zones in sequence, and the levels the step pairing split off a zone, make one run
    NanosI64 runEnd = 0;
    int run = -1;
    for (Candidate &c : cs) {
        const bool zone = c.assigned && c.use == Use::Irrigation;
        const bool within = run >= 0 && c.start <= runEnd + 10 * kMinuteNs;
        if (zone && !within)
            run = groups++;
        if (zone || (within && !c.assigned && c.seconds() >= 180 && c.rate >= 4)) {
            if (!zone && c.start > runEnd)
                continue;
            c.use = Use::Irrigation;
            c.assigned = true;
            c.group = run;
            runEnd = std::max(runEnd, c.end);
        }
    }
    // A garden system waters zone after zone; a few minutes at that flow is a hose or a pool
    // topped up by hand.
    std::vector<NanosI64> first(size_t(groups), INT64_MAX), last(size_t(groups), INT64_MIN);
    for (const Candidate &c : cs) {
        if (c.use == Use::Irrigation && c.group >= 0) {
            first[size_t(c.group)] = std::min(first[size_t(c.group)], c.start);
            last[size_t(c.group)] = std::max(last[size_t(c.group)], c.end);
        }
    }
    for (Candidate &c : cs) {
        if (c.use == Use::Irrigation && c.group >= 0 && last[size_t(c.group)] - first[size_t(c.group)] < 8 * kMinuteNs)
            c.use = Use::Other;
    }
}

void showersAndBaths(std::vector<Candidate> &cs)
{
    std::vector<double> rates;
    for (const Candidate &c : cs) {
        if (!c.assigned && longRun(c) && c.rate <= 13)
            rates.push_back(c.rate);
    }
    // Showers are far more common than baths: only a fill faster than any shower head, or well
    // above the one this home showers under, is a bath.
    const double showerHead = mode(rates, 0.1, 3);
    for (Candidate &c : cs) {
        if (c.assigned || !longRun(c))
            continue;
        c.assigned = true;
        const bool aboveHead = showerHead > 0 && c.rate > 1.2 * showerHead && c.rate >= 10;
        c.use = c.litres >= 50 && c.pieces == 1 && (c.rate >= 12.5 || aboveHead) ? Use::Bathtub : Use::Shower;
    }
}

bool toiletShaped(const Candidate &c)
{
    return c.litres >= 3 && c.litres <= 16 && c.seconds() >= 20 && c.seconds() <= (c.rateShown ? 200 : 240) &&
           (c.rate >= 5 || !c.rateShown);
}

// A cistern fills to its own volume every time: volumes many fills share are the home's
// toilets (full and half flushes of each), whatever the rate the trace's resolution shows.
std::vector<char> volumePeaks(const std::vector<Candidate> &cs)
{
    std::vector<const Candidate *> shaped;
    for (const Candidate &c : cs) {
        if (!c.assigned && toiletShaped(c))
            shaped.push_back(&c);
    }
    const size_t least = std::max<size_t>(4, shaped.size() / 25);
    std::vector<char> clustered(cs.size(), 0);
    for (size_t i = 0; i < cs.size(); ++i) {
        const Candidate &c = cs[i];
        if (c.assigned || !toiletShaped(c))
            continue;
        // a peak of the volumes, not a stretch where many draws happen to fall
        size_t n = 0, wide = 0;
        for (const Candidate *o : shaped) {
            const bool rateAlike = !c.rateShown || !o->rateShown || near(o->rate, c.rate, 0.08);
            n += rateAlike && near(o->litres, c.litres, 0.05);
            wide += rateAlike && near(o->litres, c.litres, 0.25);
        }
        clustered[i] = n >= least && double(n) >= 0.4 * double(wide);
    }
    return clustered;
}

void toilets(std::vector<Candidate> &cs)
{
    const std::vector<char> clustered = volumePeaks(cs);
    for (size_t i = 0; i < cs.size(); ++i) {
        Candidate &c = cs[i];
        if (c.assigned || !toiletShaped(c))
            continue;
        if (clustered[i] || (c.tapered && c.rate >= 6 && c.rate <= 17 && c.seconds() <= 150)) {
            c.use = Use::Toilet;
            c.assigned = true;
        }
    }
}

// Repeats of one small use at a steady rhythm: a flapper's refills, an appliance's fills.
// Chains are built greedily from each free candidate: of the free ones between minSpacing and
// maxSpacing after the last link, the one most like the first in volume (and in rate where both
// show it).
std::vector<std::vector<size_t>> chains(const std::vector<Candidate> &cs, const std::vector<char> &eligible,
                                        NanosI64 minSpacing, NanosI64 maxSpacing, double volumeRelative,
                                        double rateRelative)
{
    std::vector<std::vector<size_t>> out;
    std::vector<char> taken(cs.size(), 0);
    for (size_t i = 0; i < cs.size(); ++i) {
        if (!eligible[i] || taken[i])
            continue;
        std::vector<size_t> chain{i};
        const Candidate &a = cs[i];
        // the next link: of the free ones in the window, the one most like the chain's first
        for (size_t last = i;;) {
            size_t best = 0;
            double bestMiss = 1e300;
            for (size_t j = last + 1; j < cs.size() && cs[j].start <= cs[last].start + maxSpacing; ++j) {
                const Candidate &b = cs[j];
                if (!eligible[j] || taken[j] || b.start < cs[last].start + minSpacing)
                    continue;
                const bool rateShown = a.seconds() >= 20 && b.seconds() >= 20 && a.rateShown && b.rateShown;
                if (!near(a.litres, b.litres, volumeRelative) || (rateShown && !near(a.rate, b.rate, rateRelative)))
                    continue;
                const double miss =
                    std::fabs(a.litres - b.litres) / std::max(a.litres, b.litres) / volumeRelative +
                    (rateShown ? std::fabs(a.rate - b.rate) / std::max(a.rate, b.rate) / rateRelative : 0);
                if (miss < bestMiss) {
                    bestMiss = miss;
                    best = j;
                }
            }
            if (bestMiss == 1e300)
                break;
            chain.push_back(best);
            last = best;
        }
        if (chain.size() >= 2) {
            for (size_t k : chain)
                taken[k] = 1;
            out.push_back(chain);
        }
    }
    return out;
}

// Every member within `volumeRelative` and `rateRelative` of the chain's median.
bool alike(const std::vector<Candidate> &cs, const std::vector<size_t> &chain, double volumeRelative,
           double rateRelative)
{
    std::vector<double> volumes, rates;
    for (size_t k : chain) {
        volumes.push_back(cs[k].litres);
        if (cs[k].rateShown)
            rates.push_back(cs[k].rate);
    }
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    const double volume = median(volumes), rate = rates.empty() ? 0 : median(rates);
    return std::all_of(volumes.begin(), volumes.end(), [&](double v) { return near(v, volume, volumeRelative); }) &&
           std::all_of(rates.begin(), rates.end(), [&](double r) { return near(r, rate, rateRelative); });
}

// Fills like the ones the home's cisterns taper off at, again and again.
std::vector<char> cisternLike(const std::vector<Candidate> &cs)
{
    // A per-minute trace shows no taper: there the home's flush volumes are the peaks.
    if (!cs.empty() && cs.front().perMinute)
        return volumePeaks(cs);
    std::vector<const Candidate *> tapered;
    for (const Candidate &c : cs) {
        if (!c.assigned && c.tapered && toiletShaped(c))
            tapered.push_back(&c);
    }
    std::vector<char> out(cs.size(), 0);
    for (size_t i = 0; i < cs.size(); ++i) {
        const Candidate &c = cs[i];
        out[i] = toiletShaped(c) && std::count_if(tapered.begin(), tapered.end(), [&](const Candidate *t) {
                                        return near(t->litres, c.litres, 0.07) &&
                                               (!c.rateShown || near(t->rate, c.rate, 0.08));
                                    }) >= 3;
    }
    return out;
}

void repeats(std::vector<Candidate> &cs, int &groups)
{
    std::vector<char> small(cs.size(), 0), fills(cs.size(), 0);
    const std::vector<char> cistern = cisternLike(cs);
    for (size_t i = 0; i < cs.size(); ++i) {
        const Candidate &c = cs[i];
        small[i] = !c.assigned && c.litres >= 0.2 && c.litres <= 2.5 && c.seconds() <= 240;
        // a cistern's refill tapers off; an appliance's valve shuts
        fills[i] = !c.assigned && !c.tapered && !cistern[i] && c.litres >= 0.7 && c.litres <= 30 && c.seconds() <= 300;
    }
    // A flapper never stops: long chains of the same small refill.
    for (const auto &chain : chains(cs, small, 8 * kMinuteNs, 70 * kMinuteNs, 0.2, 0.15)) {
        if (chain.size() < 6)
            continue;
        for (size_t k : chain) {
            cs[k].use = Use::Leak;
            cs[k].assigned = true;
            fills[k] = 0;
        }
    }
    // An appliance's cycle: a few fills in a steady rhythm, within two and a half hours. A
    // washer's are the larger; a dishwasher's small ones are told from tap draws by being alike.
    const auto cycles = [&](Use use, NanosI64 maxSpacing, double volumeRelative, double rateRelative) {
        for (const auto &chain : chains(cs, fills, 6 * kMinuteNs, maxSpacing, volumeRelative, rateRelative)) {
            std::vector<double> volumes;
            for (size_t k : chain)
                volumes.push_back(cs[k].litres);
            std::nth_element(volumes.begin(), volumes.begin() + long(volumes.size() / 2), volumes.end());
            const double volume = volumes[volumes.size() / 2];
            const NanosI64 span = cs[chain.back()].end - cs[chain.front()].start;
            const bool washer = chain.size() >= 2 && chain.size() <= 6 && volume >= 6 && span <= 140 * kMinuteNs;
            const bool dishwasher = chain.size() >= 3 && chain.size() <= 7 && volume < 6 && span >= 30 * kMinuteNs &&
                                    span <= 170 * kMinuteNs && alike(cs, chain, 0.2, 0.06);
            if (!(use == Use::ClothesWasher ? washer : dishwasher))
                continue;
            const int group = groups++;
            for (size_t k : chain) {
                cs[k].use = use;
                cs[k].assigned = true;
                cs[k].group = group;
                fills[k] = 0;
            }
        }
    };
    cycles(Use::ClothesWasher, 45 * kMinuteNs, 0.3, 0.08);
    cycles(Use::Dishwasher, 60 * kMinuteNs, 0.2, 0.06);
}

Use leftover(const Candidate &c)
{
    if (c.rate >= 7.5 && c.rate <= 17 && c.litres >= 4 && c.litres <= 14 && c.seconds() >= 30 && c.seconds() <= 120)
        return Use::Toilet;
    // a per-minute trace hides the rate: a cistern's volume within two minutes is most likely one
    if (c.perMinute && !c.rateShown && c.litres >= 4.5 && c.litres <= 14 && c.seconds() <= 180)
        return Use::Toilet;
    if (c.seconds() <= 360 && c.litres <= 40)
        return Use::Faucet;
    return Use::Other;
}
}  // namespace

std::vector<Event> EndUseClassifier::classify(const FlowSegmenter::Result &segments)
{
    std::vector<Candidate> cs = joinPauses(segments.fragments, segments.perMinute);
    int groups = 0;
    irrigationRuns(cs, groups);
    showersAndBaths(cs);
    repeats(cs, groups);
    toilets(cs);

    std::vector<Event> events;
    std::vector<long> groupEvent(size_t(groups), -1);
    for (Candidate &c : cs) {
        const Use use = c.assigned ? c.use : leftover(c);
        if (c.parts.empty() && c.group >= 0)
            c.parts.push_back(EndUse::Part{c.start, c.end, c.litres});
        if (c.group >= 0 && groupEvent[size_t(c.group)] >= 0) {
            Event &e = events[size_t(groupEvent[size_t(c.group)])];
            e.start = std::min(e.start, c.start);
            e.end = std::max(e.end, c.end);
            e.litres += c.litres;
            e.peakLitresPerMinute = std::max(e.peakLitresPerMinute, c.peak);
            e.parts.insert(e.parts.end(), c.parts.begin(), c.parts.end());
            continue;
        }
        if (c.group >= 0)
            groupEvent[size_t(c.group)] = long(events.size());
        events.push_back(Event{c.start, c.end, use, c.litres, c.peak, std::move(c.parts)});
    }
    // a run of one part says nothing its event does not
    for (Event &e : events) {
        if (e.parts.size() == 1)
            e.parts.clear();
    }
    for (const FlowSegmenter::LeakSpan &l : segments.leaks)
        events.push_back(Event{l.start, l.end, Use::Leak, l.litres, l.litresPerHour / 60, {}});
    std::sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.start < b.start; });
    return events;
}
