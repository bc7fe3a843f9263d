#pragma once

#include "PulseLogTypes.h"

#include <QDate>
#include <QTimeZone>
#include <QVariantMap>

#include <cstdint>
#include <vector>

// Night flow and continuous-leak indicators of a pulse log, for the viewer and the command line.
//
// Hours are local clock hours ([hh:00, hh+1:00) in the given zone, the system's local time when
// the zone is invalid), so a day has 23 or 25 of them when the clock changes. Only hours that the
// log covers completely count (first entry <= hour start and hour end <= last entry): a partial
// hour at either end would pass for a quiet or a low hour it never was.
//
// A night is the local hours that start between 00:00 and 05:00 of one date (4 or 6 of them on
// the days the clock changes); it is reported only when all of them are complete, and its minimum
// is the lowest of their pulse sums.
//
// A leak stretch is a run of complete hours, none of them without pulses, lasting 24 hours or
// more; it is reported once over its whole length. A night is flagged when it shares an hour with
// a leak stretch.
//
// Everything works on pulse sums per quarter hour of absolute time, which every zone offset in
// use today is a multiple of; the one pass over the entries is the only cost that grows with the
// number of pulses.
class NightFlowAnalysis
{
public:
    using NanosI64 = TimeTypes::Epoch1970::NanosI64;
    using Entries = std::vector<PulseLogTypes::TimestampedEntry>;

    static constexpr NanosI64 kQuarterNs = 900LL * 1000000000LL;
    static constexpr NanosI64 kHourNs = 4 * kQuarterNs;
    static constexpr NanosI64 kLeakNs = 24 * kHourNs;
    static constexpr int kNightEndHour = 5;
    // Longer logs (damaged times can span centuries) are refused rather than walked hour by hour.
    static constexpr int64_t kMaxQuarters = int64_t(96) * 366 * 20;

    struct Hour {
        NanosI64 start = 0;
        NanosI64 end = 0;
        uint64_t pulses = 0;
        QDate date;  // local date and hour of the start
        int hour = 0;
    };
    struct Night {
        QDate date;
        NanosI64 start = 0;  // first instant of the date
        NanosI64 end = 0;    // 05:00
        int hours = 0;
        uint64_t minimumPulses = 0;
        NanosI64 minimumHourStart = 0;  // the first hour with the minimum
        bool leak = false;
    };
    struct LeakStretch {
        NanosI64 start = 0;
        NanosI64 end = 0;
    };
    struct QuarterSums {
        bool empty = true;
        bool tooLong = false;
        NanosI64 first = 0;  // first and last entry
        NanosI64 last = 0;
        NanosI64 base = 0;  // start of the quarter holding the first entry
        std::vector<uint64_t> sums;
    };
    struct Result {
        bool tooLong = false;
        std::vector<Hour> hours;  // the complete hours, in order
        std::vector<Night> nights;
        std::vector<LeakStretch> leaks;
    };

    static QuarterSums quarterSums(const Entries &entries);
    // The sums of entries [begin, end) over a covered span [first, last] that may reach past
    // them: a report over part of a log counts as covered what the log covers there, not only
    // up to the first and last entry inside it. The entries must lie within the span.
    static QuarterSums quarterSums(const Entries &entries, size_t begin, size_t end, NanosI64 first, NanosI64 last);
    static Result analyse(const QuarterSums &sums, const QTimeZone &zone = QTimeZone());
    static Result analyse(const Entries &entries, const QTimeZone &zone = QTimeZone());

    // {"nights": [{"date", "start", "minimumPulses", "minimumHour", "hours", "leak"}],
    //  "leaks": [{"start", "end", "hours"}], "tooLong"}; times as local QDateTime.
    static QVariantMap toVariantMap(const Result &result);
};
