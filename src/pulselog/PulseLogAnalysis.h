#pragma once

#include "PulseLogTypes.h"

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

// Read-only views of a pulse log: range clamping, time bins, rates and environment series.
// Works on the log's sorted entries and its readings, so it can be used without a PulseLog.
class PulseLogAnalysis
{
public:
    using NanosI64 = TimeTypes::Epoch1970::NanosI64;
    using Entries = std::vector<PulseLogTypes::TimestampedEntry>;
    using Readings = std::map<NanosI64, PulseLogTypes::EnvironmentReading>;

    // A request range after clamping to the log. Entries count when startNs <= time < endNs,
    // or time <= endNs when includeEnd is set: a request reaching past the last entry keeps
    // that entry instead of cutting it off at the half-open end.
    struct Range {
        bool logEmpty = true;
        bool outsideLog = false;  // the request and the log have no instant in common
        int64_t startMs = 0;
        int64_t endMs = 0;
        NanosI64 startNs = 0;
        NanosI64 endNs = 0;
        bool includeEnd = false;
    };

    // More bins than this are refused rather than allocated (a damaged log can span centuries).
    static constexpr int64_t kMaxBins = int64_t(1) << 26;

    static Range clampRange(const Entries &entries, const QDateTime &rangeStart, const QDateTime &rangeEnd);
    // Index span [first, second) of the entries inside the range.
    static std::pair<size_t, size_t> entrySpan(const Entries &entries, const Range &range);
    static size_t lowerBound(const Entries &entries, NanosI64 time);
    static size_t upperBound(const Entries &entries, NanosI64 time);

    static int64_t binCountBetween(NanosI64 from, NanosI64 to, NanosI64 binWidth);
    // Bin sums of the range; false (and `sums` empty) for an empty log, m = 0 or too many bins.
    static bool binSums(const Entries &entries, const Range &range, uint32_t millisecondsPerBin,
                        std::vector<double> *sums);

    static int64_t timeBinCount(const Entries &entries, uint32_t millisecondsPerBin);
    static uint32_t timeBinMaximumPulseCount(const Entries &entries, uint32_t millisecondsPerBin);
    static int64_t pulseCountInRange(const Entries &entries, const QDateTime &rangeStart, const QDateTime &rangeEnd);
    static QDateTime binToDate(const Entries &entries, int64_t binIndex, uint32_t millisecondsPerBin);
    static int64_t dateToBin(const Entries &entries, const QDateTime &dateTime, uint32_t millisecondsPerBin);
    static double dateToBinF(const Entries &entries, const QDateTime &dateTime, uint32_t millisecondsPerBin);
    static QVariantMap dataSeriesStats(const std::vector<double> *vector, size_t binStart, size_t binEnd);

    static QVariantList buildWindowAtEnd(const Entries &entries, double windowWidthSeconds, double offsetEndSeconds);
    static QVariantList buildWindow(const Entries &entries, NanosI64 timeLow, NanosI64 timeHigh);
    static QVariantList dataAsTimeInverted(const Entries &entries, size_t first, size_t count, bool padToSize);

    static QVariantList voltageSeries(const Readings &readings);
    static QVariantList temperatureSeries(const Readings &readings, bool fahrenheit);
    static QDateTime enviroSecondsToDateTime(const Readings &readings, float secondsOffset);

    // Saturating helpers for times that come from user dates or damaged logs.
    static NanosI64 millisToNanosSaturated(int64_t ms);
    static int64_t addSaturated(int64_t a, int64_t b);
    static int64_t doubleToInt64Saturated(double v);
};
