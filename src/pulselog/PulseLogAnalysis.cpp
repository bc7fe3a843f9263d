#include "PulseLogAnalysis.h"

#include "LocalTimeFormatter.h"

#include <QDebug>
#include <QPointF>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
using NanosI64 = PulseLogAnalysis::NanosI64;
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr NanosI64 kNanosPerMs = 1000000;
// Consecutive entries closer than this give no rate point.
constexpr NanosI64 kMinimumRateInterval = 100000;

inline int64_t floorDiv(int64_t a, int64_t b)
{
    return LocalTimeFormatter::floorDiv(a, b);
}

// b - a for b >= a, exact even where the signed difference would overflow.
inline uint64_t spanNs(NanosI64 a, NanosI64 b)
{
    return uint64_t(b) - uint64_t(a);
}

QVariant point(double x, double y)
{
    return QVariant::fromValue(QPointF(x, y));
}

QVariantList emptyWindow(NanosI64 high, NanosI64 low)
{
    // high >= low here, but the difference may not fit
    const double width = (double(high) - double(low)) / 1e9;
    return {point(0, 0), point(width, 0)};
}
}  // namespace

NanosI64 PulseLogAnalysis::millisToNanosSaturated(int64_t ms)
{
    if (ms > kI64Max / kNanosPerMs)
        return kI64Max;
    if (ms < kI64Min / kNanosPerMs)
        return kI64Min;
    return ms * kNanosPerMs;
}

int64_t PulseLogAnalysis::addSaturated(int64_t a, int64_t b)
{
    if (b > 0 && a > kI64Max - b)
        return kI64Max;
    if (b < 0 && a < kI64Min - b)
        return kI64Min;
    return a + b;
}

int64_t PulseLogAnalysis::doubleToInt64Saturated(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 9.2233720368547758e18)
        return kI64Max;
    if (v <= -9.2233720368547758e18)
        return kI64Min;
    return int64_t(v);
}

size_t PulseLogAnalysis::lowerBound(const Entries &entries, NanosI64 time)
{
    return size_t(std::lower_bound(entries.begin(), entries.end(), time,
                                   [](const PulseLogTypes::TimestampedEntry &e, NanosI64 t) { return e.time < t; }) -
                  entries.begin());
}

size_t PulseLogAnalysis::upperBound(const Entries &entries, NanosI64 time)
{
    return size_t(std::upper_bound(entries.begin(), entries.end(), time,
                                   [](NanosI64 t, const PulseLogTypes::TimestampedEntry &e) { return t < e.time; }) -
                  entries.begin());
}

PulseLogAnalysis::Range PulseLogAnalysis::clampRange(const Entries &entries, const QDateTime &rangeStart,
                                                     const QDateTime &rangeEnd)
{
    // An invalid date leaves that side of the range open.
    int64_t s = rangeStart.isValid() ? rangeStart.toMSecsSinceEpoch() : kI64Min;
    int64_t e = rangeEnd.isValid() ? rangeEnd.toMSecsSinceEpoch() : kI64Max;
    if (e < s)
        std::swap(s, e);

    Range range;
    range.logEmpty = entries.empty();
    if (!entries.empty()) {
        const int64_t firstMs = floorDiv(entries.front().time, kNanosPerMs);
        const int64_t lastMs = floorDiv(entries.back().time, kNanosPerMs);
        range.outsideLog = s > lastMs || e < firstMs;
        if (s < firstMs)
            s = firstMs;
        bool lowered = false;
        if (e > lastMs) {
            e = lastMs;
            lowered = true;
        }
        range.startMs = s;
        range.startNs = millisToNanosSaturated(s);
        if (e < s) {
            range.endMs = s;
            range.endNs = range.startNs;
        } else {
            range.endMs = e;
            range.endNs = lowered ? entries.back().time : millisToNanosSaturated(e);
            range.includeEnd = lowered;
        }
    } else {
        range.startMs = s;
        range.endMs = e;
        range.startNs = millisToNanosSaturated(s);
        range.endNs = millisToNanosSaturated(e);
    }
    return range;
}

std::pair<size_t, size_t> PulseLogAnalysis::entrySpan(const Entries &entries, const Range &range)
{
    const size_t first = lowerBound(entries, range.startNs);
    size_t last = range.includeEnd ? upperBound(entries, range.endNs) : lowerBound(entries, range.endNs);
    if (last < first)
        last = first;
    return {first, last};
}

int64_t PulseLogAnalysis::binCountBetween(NanosI64 from, NanosI64 to, NanosI64 binWidth)
{
    return floorDiv(to, binWidth) - floorDiv(from, binWidth) + 1;
}

bool PulseLogAnalysis::binSums(const Entries &entries, const Range &range, uint32_t millisecondsPerBin,
                               std::vector<double> *sums)
{
    sums->clear();
    if (range.logEmpty || millisecondsPerBin == 0)
        return false;
    const NanosI64 w = NanosI64(millisecondsPerBin) * kNanosPerMs;
    const int64_t count = binCountBetween(range.startNs, range.endNs, w);
    if (count <= 0 || count > kMaxBins) {
        qWarning() << "Refusing to build" << count << "time bins of" << millisecondsPerBin << "ms";
        return false;
    }
    sums->assign(size_t(count), 0.0);
    const int64_t firstBin = floorDiv(range.startNs, w);
    const auto span = entrySpan(entries, range);
    double *out = sums->data();
    for (size_t i = span.first; i < span.second; ++i) {
        const int64_t index = floorDiv(entries[i].time, w) - firstBin;
        out[index] += entries[i].count;
    }
    return true;
}

int64_t PulseLogAnalysis::timeBinCount(const Entries &entries, uint32_t millisecondsPerBin)
{
    if (entries.empty() || millisecondsPerBin == 0)
        return 0;
    return binCountBetween(entries.front().time, entries.back().time, NanosI64(millisecondsPerBin) * kNanosPerMs);
}

uint32_t PulseLogAnalysis::timeBinMaximumPulseCount(const Entries &entries, uint32_t millisecondsPerBin)
{
    if (entries.empty() || millisecondsPerBin == 0)
        return 0;
    // The whole log, last entry included; the entries are sorted, so one pass suffices.
    const NanosI64 w = NanosI64(millisecondsPerBin) * kNanosPerMs;
    uint32_t best = 0;
    uint32_t sum = 0;
    int64_t bin = floorDiv(entries.front().time, w);
    for (const auto &entry : entries) {
        const int64_t b = floorDiv(entry.time, w);
        if (b != bin) {
            bin = b;
            sum = 0;
        }
        sum += entry.count;
        best = std::max(best, sum);
    }
    return best;
}

int64_t PulseLogAnalysis::pulseCountInRange(const Entries &entries, const QDateTime &rangeStart,
                                            const QDateTime &rangeEnd)
{
    if (entries.empty())
        return 0;
    const Range range = clampRange(entries, rangeStart, rangeEnd);
    const auto span = entrySpan(entries, range);
    int64_t total = 0;
    for (size_t i = span.first; i < span.second; ++i)
        total += entries[i].count;
    return total;
}

QDateTime PulseLogAnalysis::binToDate(const Entries &entries, int64_t binIndex, uint32_t millisecondsPerBin)
{
    if (entries.empty() || millisecondsPerBin == 0)
        return QDateTime();
    const NanosI64 w = NanosI64(millisecondsPerBin) * kNanosPerMs;
    const int64_t bin0Ms = floorDiv(entries.front().time, w) * int64_t(millisecondsPerBin);
    const int64_t m = int64_t(millisecondsPerBin);
    int64_t offset;
    if (binIndex > kI64Max / m)
        offset = kI64Max;
    else if (binIndex < kI64Min / m)
        offset = kI64Min;
    else
        offset = binIndex * m;
    return QDateTime::fromMSecsSinceEpoch(addSaturated(bin0Ms, offset));
}

namespace {
// Nanoseconds of `date` relative to the start of bin 0.
int64_t relativeToBin0(const PulseLogAnalysis::Entries &entries, const QDateTime &date, NanosI64 w)
{
    const NanosI64 first = entries.front().time;
    const NanosI64 dateNs = PulseLogAnalysis::millisToNanosSaturated(date.toMSecsSinceEpoch());
    const int64_t sinceFirst = first == kI64Min
                                   ? PulseLogAnalysis::addSaturated(PulseLogAnalysis::addSaturated(dateNs, kI64Max), 1)
                                   : PulseLogAnalysis::addSaturated(dateNs, -first);
    return PulseLogAnalysis::addSaturated(sinceFirst, LocalTimeFormatter::floorMod(first, w));
}
}  // namespace

int64_t PulseLogAnalysis::dateToBin(const Entries &entries, const QDateTime &dateTime, uint32_t millisecondsPerBin)
{
    if (entries.empty() || millisecondsPerBin == 0)
        return 0;
    const NanosI64 w = NanosI64(millisecondsPerBin) * kNanosPerMs;
    return floorDiv(relativeToBin0(entries, dateTime, w), w);
}

double PulseLogAnalysis::dateToBinF(const Entries &entries, const QDateTime &dateTime, uint32_t millisecondsPerBin)
{
    if (entries.empty() || millisecondsPerBin == 0)
        return 0.0;
    const NanosI64 w = NanosI64(millisecondsPerBin) * kNanosPerMs;
    return double(relativeToBin0(entries, dateTime, w)) / double(w);
}

QVariantMap PulseLogAnalysis::dataSeriesStats(const std::vector<double> *vector, size_t binStart, size_t binEnd)
{
    const size_t low = std::min(binStart, binEnd);
    const size_t high = std::max(binStart, binEnd);
    double minCount = 0;
    double maxCount = 0;
    if (vector && low != high && high < vector->size()) {
        const auto range =
            std::minmax_element(vector->begin() + std::ptrdiff_t(low), vector->begin() + std::ptrdiff_t(high));
        minCount = *range.first;
        maxCount = *range.second;
    }
    return {{QStringLiteral("minCount"), minCount}, {QStringLiteral("maxCount"), maxCount}};
}

QVariantList PulseLogAnalysis::buildWindowAtEnd(const Entries &entries, double windowWidthSeconds,
                                                double offsetEndSeconds)
{
    const NanosI64 last = entries.empty() ? 0 : entries.back().time;
    const NanosI64 high = addSaturated(last, doubleToInt64Saturated(offsetEndSeconds * 1e9));
    const int64_t width = doubleToInt64Saturated(windowWidthSeconds * 1e9);
    NanosI64 low;
    if ((width > 0 && high < kI64Min + width) || (width < 0 && high > kI64Max + width))
        low = 0;
    else
        low = high - width;
    return buildWindow(entries, low, high);
}

QVariantList PulseLogAnalysis::buildWindow(const Entries &entries, NanosI64 timeLow, NanosI64 timeHigh)
{
    const NanosI64 high = timeHigh;
    const NanosI64 low = timeHigh < timeLow ? 0 : timeLow;
    QVariantList points;
    for (size_t later = upperBound(entries, high); later >= 2; --later) {
        const NanosI64 laterTime = entries[later - 1].time;
        const NanosI64 earlierTime = entries[later - 2].time;
        const uint64_t interval = spanNs(earlierTime, laterTime);
        if (interval < uint64_t(kMinimumRateInterval))
            continue;
        points.append(point(double(spanNs(laterTime, high)) / 1e9, 1e9 / double(interval)));
        if (laterTime <= low)
            break;
    }
    if (points.isEmpty())
        return emptyWindow(high, std::min(low, high));
    return points;
}

QVariantList PulseLogAnalysis::dataAsTimeInverted(const Entries &entries, size_t first, size_t count, bool padToSize)
{
    // Each rate is drawn as a step from the age of the later entry to the age of the earlier
    // one, so consecutive rates never share an x value.
    QVariantList points;
    if (count == 0)
        return points;
    size_t produced = 0;
    size_t skipped = 0;
    double lastY = 0;
    if (entries.size() >= 2) {
        const NanosI64 newest = entries.back().time;
        for (size_t later = entries.size() - 1; later >= 1 && produced < count; --later) {
            const uint64_t interval = spanNs(entries[later - 1].time, entries[later].time);
            if (interval < uint64_t(kMinimumRateInterval))
                continue;
            if (skipped < first) {
                ++skipped;
                continue;
            }
            const double y = 1e9 / double(interval);
            points.append(point(double(spanNs(entries[later].time, newest)) / 1e9, y));
            points.append(point(double(spanNs(entries[later - 1].time, newest)) / 1e9, y));
            lastY = y;
            ++produced;
        }
    }
    if (padToSize) {
        for (; produced < count; ++produced) {
            points.append(point(0, lastY));
            points.append(point(0, lastY));
        }
    }
    return points;
}

QVariantList PulseLogAnalysis::voltageSeries(const Readings &readings)
{
    QVariantList points;
    if (readings.empty())
        return points;
    const NanosI64 t0 = readings.begin()->first;
    for (const auto &r : readings) {
        if (r.second.voltage > 0.01f)
            points.append(point(double(float(spanNs(t0, r.first)) / 1.0e9f), double(r.second.voltage)));
    }
    return points;
}

QVariantList PulseLogAnalysis::temperatureSeries(const Readings &readings, bool fahrenheit)
{
    QVariantList points;
    if (readings.empty())
        return points;
    const NanosI64 t0 = readings.begin()->first;
    for (const auto &r : readings) {
        const float c = r.second.temperature;
        if (c > -49.99f) {
            const float y = fahrenheit ? c * 9.0f / 5.0f + 32.0f : c;
            points.append(point(double(float(spanNs(t0, r.first)) / 1.0e9f), double(y)));
        }
    }
    return points;
}

QDateTime PulseLogAnalysis::enviroSecondsToDateTime(const Readings &readings, float secondsOffset)
{
    if (readings.empty())
        return QDateTime();
    const float ns = secondsOffset * 1.0e9f;
    const NanosI64 time = addSaturated(readings.begin()->first, doubleToInt64Saturated(double(ns)));
    return QDateTime::fromMSecsSinceEpoch(time / kNanosPerMs);
}
