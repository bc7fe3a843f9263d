#include "FlowSegmenter.h"

#include <algorithm>
#include <cmath>

namespace {
using NanosI64 = FlowSegmenter::NanosI64;
using Fragment = FlowSegmenter::Fragment;

constexpr NanosI64 kMinuteNs = 60'000'000'000LL;
constexpr NanosI64 kSlotNs = 5 * kMinuteNs;
constexpr int kBinsPerSlot = int(kSlotNs / FlowSegmenter::kBinNs);
constexpr double kBinMinutes = double(FlowSegmenter::kBinNs) / double(kMinuteNs);
constexpr int kFloorReachSlots = 36;  // three hours
constexpr int kQuietSlots = 6;        // half an hour without a pulse: no leak around
constexpr int kGapBins = 2;           // water stopped for longer than this ends a stretch
constexpr int kBinsPerMinute = 6;
// A level held this briefly between two steps the same way is a ramp: the bin a use starts or
// stops in, or the minute when the trace only knows minutes.
constexpr int kRampBins = 1;

// The leak floor (litres per minute) of every five-minute slot.
std::vector<double> leakFloor(const std::vector<uint32_t> &counts, double litresPerPulse)
{
    const int n = int(counts.size());
    // Half-hour sums starting at each slot, and where runs of empty slots end.
    std::vector<uint32_t> halfHour(size_t(n), 0);
    std::vector<int> quietRun(size_t(n), 0);  // empty slots ending at i
    for (int i = 0; i < n; ++i) {
        quietRun[size_t(i)] = counts[size_t(i)] ? 0 : (i ? quietRun[size_t(i - 1)] : 0) + 1;
        if (i + kQuietSlots <= n) {
            uint32_t s = 0;
            for (int k = 0; k < kQuietSlots; ++k)
                s += counts[size_t(i + k)];
            halfHour[size_t(i)] = s;
        }
    }
    std::vector<double> floor(size_t(n), 0);
    if (n < kQuietSlots)
        return floor;
    for (int i = 0; i < n; ++i) {
        const int lo = std::max(0, i - kFloorReachSlots), hi = std::min(n - 1, i + kFloorReachSlots);
        bool quiet = false;
        for (int k = lo; k <= hi && !quiet; ++k)
            quiet = quietRun[size_t(k)] >= kQuietSlots;
        if (quiet)
            continue;
        uint32_t lowest = UINT32_MAX;
        for (int k = lo; k + kQuietSlots <= n && k <= hi; ++k)
            lowest = std::min(lowest, halfHour[size_t(k)]);
        if (lowest != UINT32_MAX && lowest >= 2)
            floor[size_t(i)] = double(lowest) * litresPerPulse / double(kQuietSlots * 5);
    }
    return floor;
}

struct Segment {
    int begin = 0, end = 0;  // bins [begin, end)
    double level = 0;        // litres per minute
};

double tolerance(double level)
{
    return std::max(1.2, 0.18 * level);
}

std::vector<Segment> plateaus(const std::vector<double> &flow, int64_t firstBin)
{
    std::vector<Segment> out;
    const int n = int(flow.size());
    Segment cur{0, 1, flow[0]};
    double sum = flow[0];
    for (int j = 1; j < n; ++j) {
        const double m = sum / double(cur.end - cur.begin);
        const double d = flow[size_t(j)] - m;
        const bool confirmed =
            j + 1 == n || ((flow[size_t(j + 1)] - m) * d > 0 && std::fabs(flow[size_t(j + 1)] - m) > tolerance(m));
        if (std::fabs(d) > tolerance(m) && confirmed) {
            cur.level = m;
            out.push_back(cur);
            cur = Segment{j, j + 1, 0};
            sum = flow[size_t(j)];
        } else {
            cur.end = j + 1;
            sum += flow[size_t(j)];
        }
    }
    cur.level = sum / double(cur.end - cur.begin);
    out.push_back(cur);

    // A trace whose flow only ever changes on the minute is a per-minute trace.
    bool minutes = out.size() > 1;
    for (size_t k = 1; k < out.size() && minutes; ++k)
        minutes = (firstBin + out[k].begin) % kBinsPerMinute == 0;
    const int ramp = minutes ? kBinsPerMinute : kRampBins;

    // A short level between two steps the same way is the water opening or closing: it joins
    // the level it leads to (opening) or comes from (closing), which keeps its own level. One
    // pass, looking back from each level added, so a trace of endless small steps costs no more.
    std::vector<Segment> merged;
    merged.reserve(out.size());
    for (size_t k = 0; k <= out.size(); ++k) {
        if (k < out.size())
            merged.push_back(out[k]);
        for (bool changed = true; changed && merged.size() >= 2;) {
            changed = false;
            // the level before the last, now that its neighbours are known (0 after the end)
            const size_t m = merged.size() - (k < out.size() ? 2 : 1);
            Segment &here = merged[m];
            if (here.end - here.begin > ramp)
                break;
            const double before = m ? merged[m - 1].level : 0;
            const double after = m + 1 < merged.size() ? merged[m + 1].level : 0;
            if (here.level > before && here.level < after && m + 1 < merged.size()) {
                merged[m + 1].begin = here.begin;
                merged.erase(merged.begin() + long(m));
                changed = true;
            } else if (here.level < before && here.level > after && m > 0) {
                merged[m - 1].end = here.end;
                merged.erase(merged.begin() + long(m));
                changed = true;
            }
        }
    }
    return merged;
}

struct Layer {
    int first = 0, last = 0;  // bins
    double rate = 0, openRate = 0, peak = 0, litres = 0;
};

// More uses at once than a home runs are steps of the ones already running.
constexpr size_t kMostAtOnce = 8;

// The water of a level's bins shared among the open uses in proportion to their rates.
void share(std::vector<Layer> &all, const std::vector<size_t> &open, const std::vector<double> &flow, const Segment &s)
{
    double rates = 0;
    for (size_t i : open)
        rates += all[i].rate;
    for (int b = s.begin; b < s.end; ++b) {
        const double f = flow[size_t(b)];
        for (size_t i : open) {
            all[i].litres += f * kBinMinutes * all[i].rate / rates;
            all[i].peak = std::max(all[i].peak, f);
        }
    }
}

// Pairs the steps of one stretch into uses and shares its water among them.
std::vector<Layer> layers(const std::vector<double> &flow, int64_t firstBin)
{
    const std::vector<Segment> segs = plateaus(flow, firstBin);
    std::vector<Layer> all;
    std::vector<size_t> open;
    double previous = 0;
    const auto close = [&](size_t openIndex, int lastBin) {
        all[open[openIndex]].last = lastBin;
        open.erase(open.begin() + long(openIndex));
    };
    for (size_t k = 0; k < segs.size(); ++k) {
        const Segment &s = segs[k];
        // A brief dip below the levels either side: what ran before stopped (the dip is its last
        // water) and what follows started afresh.
        if (k > 0 && k + 1 < segs.size() && s.end - s.begin <= 2 && s.level < previous - tolerance(previous) &&
            s.level < segs[k + 1].level - tolerance(segs[k + 1].level) && !open.empty()) {
            share(all, open, flow, s);
            while (!open.empty())
                close(open.size() - 1, s.end - 1);
            previous = 0;
            continue;
        }
        const double step = s.level - previous;
        if ((step > tolerance(previous) && open.size() < kMostAtOnce) || open.empty()) {
            Layer l;
            l.first = s.begin;
            l.rate = l.openRate = std::max(
                step, s.level - [&] {
                    double sum = 0;
                    for (size_t i : open)
                        sum += all[i].rate;
                    return sum;
                }());
            if (l.rate <= 0)
                l.rate = l.openRate = s.level;
            open.push_back(all.size());
            all.push_back(l);
        } else if (step < -tolerance(previous)) {
            double drop = -step;
            while (drop > 0 && !open.empty()) {
                // the open use whose rate the drop matches best, the newest of equals
                size_t best = open.size() - 1;
                double bestMiss = 1e300;
                for (size_t k = open.size(); k-- > 0;) {
                    const double miss = std::fabs(all[open[k]].rate - drop);
                    if (miss < bestMiss - 1e-9) {
                        bestMiss = miss;
                        best = k;
                    }
                }
                Layer &l = all[open[best]];
                if (bestMiss <= tolerance(l.rate) || l.rate < drop) {
                    drop -= l.rate;
                    close(best, s.begin - 1);
                    if (drop < tolerance(s.level))
                        break;
                } else {
                    l.rate -= drop;
                    drop = 0;
                }
            }
        } else {
            Layer &l = all[open.back()];
            l.rate = std::max(0.1, l.rate + step);
        }
        previous = s.level;
        // Nothing left open under flowing water: the level itself is a use.
        if (open.empty()) {
            Layer l;
            l.first = s.begin;
            l.rate = l.openRate = s.level;
            open.push_back(all.size());
            all.push_back(l);
        }
        share(all, open, flow, s);
    }
    for (size_t i : open)
        all[i].last = int(flow.size()) - 1;
    return all;
}

// The flow a use held: the median of its whole bins (the first and last are cut by its edges).
double plateauRate(const std::vector<double> &flow)
{
    if (flow.size() < 3)
        return *std::max_element(flow.begin(), flow.end());
    std::vector<double> inner(flow.begin() + 1, flow.end() - 1);
    std::nth_element(inner.begin(), inner.begin() + long(inner.size() / 2), inner.end());
    return inner[inner.size() / 2];
}

// A float valve closing: the flow falls off over several bins. A tap shut leaves at most its
// last bin short (and a trickle of the meter settling after it).
bool tapered(const std::vector<double> &flow, int first, int last, double rate)
{
    while (last > first && flow[size_t(last)] < 0.15 * rate)
        --last;
    return last - first >= 3 && flow[size_t(last - 1)] < 0.85 * rate;
}

class Cutter
{
public:
    // Stretches cut, and those that started on the minute.
    struct Starts {
        int64_t all = 0, onTheMinute = 0;
    };

    Cutter(NanosI64 origin, double litresPerPulse, std::vector<Fragment> &out, Starts &starts)
        : m_origin(origin), m_lpp(litresPerPulse), m_out(out), m_starts(starts)
    {
    }

    void addBin(int64_t bin, double litres, NanosI64 firstPulse, NanosI64 lastPulse)
    {
        const bool active = litres >= 0.5 * m_lpp;
        if (!active) {
            if (!m_flow.empty() && ++m_quiet > kGapBins)
                flush();
            else if (!m_flow.empty())
                m_flow.push_back(litres / kBinMinutes);
            return;
        }
        if (m_flow.empty()) {
            m_firstBin = bin;
            m_firstPulse = firstPulse;
            m_starts.all += 1;
            m_starts.onTheMinute += bin % kBinsPerMinute == 0;
        }
        m_quiet = 0;
        m_flow.push_back(litres / kBinMinutes);
        m_lastPulse = lastPulse;
    }

    void flush()
    {
        if (m_flow.empty())
            return;
        // the quiet bins that ended the stretch are not part of it
        while (!m_flow.empty() && m_flow.back() * kBinMinutes < 0.5 * m_lpp)
            m_flow.pop_back();
        const std::vector<Layer> ls = layers(m_flow, m_firstBin);
        const NanosI64 base = m_origin + m_firstBin * FlowSegmenter::kBinNs;
        const int lastBin = int(m_flow.size()) - 1;
        for (const Layer &l : ls) {
            Fragment f;
            f.litres = l.litres;
            f.overlapped = std::any_of(ls.begin(), ls.end(), [&](const Layer &o) {
                return &o != &l && o.first <= l.last && l.first <= o.last;
            });
            f.rate = f.overlapped
                         ? l.openRate
                         : plateauRate(std::vector<double>(m_flow.begin() + l.first, m_flow.begin() + l.last + 1));
            f.peak = l.peak;
            f.start = base + l.first * FlowSegmenter::kBinNs;
            f.end = base + (l.last + 1) * FlowSegmenter::kBinNs;
            // The first revolution completes a little after the water starts.
            if (l.first == 0)
                f.start = std::max(f.start, m_firstPulse - NanosI64(60e9 * m_lpp / std::max(f.rate, 0.1)));
            if (l.last == lastBin)
                f.end = std::max(f.start + 1, std::min(f.end, m_lastPulse));
            // The last whole bin already running low: a float valve closing, not a tap shut.
            if (!f.overlapped)
                f.tapered = tapered(m_flow, l.first, l.last, f.rate);
            if (f.litres > 0)
                m_out.push_back(f);
        }
        m_flow.clear();
        m_quiet = 0;
    }

private:
    NanosI64 m_origin;
    double m_lpp;
    std::vector<Fragment> &m_out;
    std::vector<double> m_flow;  // litres per minute of the open stretch's bins
    int64_t m_firstBin = 0;
    NanosI64 m_firstPulse = 0, m_lastPulse = 0;
    int m_quiet = 0;
    Starts &m_starts;
};

// One span of the trace with no six-hour silence inside: what happens in it reaches no use and
// no leak floor outside it.
void segmentSpan(const FlowSegmenter::Entry *begin, const FlowSegmenter::Entry *end, double litresPerPulse,
                 FlowSegmenter::Result &r, Cutter::Starts &starts)
{
    using Entry = FlowSegmenter::Entry;
    constexpr NanosI64 kBinNs = FlowSegmenter::kBinNs;
    const NanosI64 origin = begin->time - ((begin->time % kMinuteNs) + kMinuteNs) % kMinuteNs;
    const int64_t slotCount = (end[-1].time - origin) / kSlotNs + 1;
    std::vector<uint32_t> counts(size_t(slotCount), 0);
    for (const Entry *e = begin; e != end; ++e) {
        uint32_t &c = counts[size_t((e->time - origin) / kSlotNs)];
        c = uint32_t(std::min<uint64_t>(UINT32_MAX, uint64_t(c) + e->count));
    }
    const std::vector<double> floors = leakFloor(counts, litresPerPulse);
    counts = {};

    Cutter cutter(origin, litresPerPulse, r.fragments, starts);
    FlowSegmenter::LeakSpan leak;
    bool inLeak = false;
    double credit = 0;  // leak water owed by the floor since its last pulse
    const auto closeLeak = [&] {
        if (inLeak && leak.litres > 0)
            r.leaks.push_back(leak);
        inLeak = false;
    };
    const int64_t lastBin = (end[-1].time - origin) / kBinNs;
    const Entry *e = begin;
    for (int64_t bin = 0; bin <= lastBin; ++bin) {
        const NanosI64 binEnd = origin + (bin + 1) * kBinNs;
        double litres = 0;
        NanosI64 first = 0, last = 0;
        for (; e != end && e->time < binEnd; ++e) {
            if (litres == 0)
                first = e->time;
            last = e->time;
            litres += double(e->count) * litresPerPulse;
        }
        r.litres += litres;
        const double floorRate = floors[size_t(bin / kBinsPerSlot)];
        if (floorRate > 0) {
            if (!inLeak) {
                leak = FlowSegmenter::LeakSpan();
                leak.start = std::max(begin->time, origin + bin * kBinNs);
                inLeak = true;
            }
            leak.litresPerHour = std::max(leak.litresPerHour, floorRate * 60);
            // at most the water a quarter hour of the floor brings: a pause in the drip is
            // not paid back by the next use
            credit = std::min(credit + floorRate * kBinMinutes, std::max(floorRate * 15, 1.5 * litresPerPulse));
            double owed = std::min(litres, credit);
            // what is left of a pulse the floor almost paid is the floor's too
            if (litres - owed < 0.5 * litresPerPulse)
                owed = litres;
            credit = std::max(0.0, credit - owed);
            leak.litres += owed;
            leak.end = std::min(end[-1].time, binEnd);
            litres -= owed;
        } else {
            closeLeak();
            credit = 0;
        }
        cutter.addBin(bin, litres, first, last);
    }
    cutter.flush();
    closeLeak();
}
}  // namespace

FlowSegmenter::Result FlowSegmenter::segment(const Entry *begin, const Entry *end, double litresPerPulse)
{
    Result r;
    if (!(litresPerPulse > 0))
        return r;
    constexpr NanosI64 kSilenceNs = 6 * 60 * kMinuteNs;
    Cutter::Starts starts;
    // Spans apart: a log across a dead clock's jump of years costs no more than its pulses.
    for (const Entry *spanBegin = begin; spanBegin != end;) {
        const Entry *spanEnd = spanBegin + 1;
        while (spanEnd != end && spanEnd->time - spanEnd[-1].time <= kSilenceNs)
            ++spanEnd;
        segmentSpan(spanBegin, spanEnd, litresPerPulse, r, starts);
        spanBegin = spanEnd;
    }
    r.perMinute = starts.onTheMinute > 0.8 * double(starts.all);
    std::sort(r.fragments.begin(), r.fragments.end(),
              [](const Fragment &a, const Fragment &b) { return a.start < b.start; });
    return r;
}
