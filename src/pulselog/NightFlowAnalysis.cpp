#include "NightFlowAnalysis.h"

#include "LocalTimeFormatter.h"

#include <QDateTime>
#include <QVariantList>

#include <algorithm>
#include <ctime>
#include <limits>

namespace {
using NanosI64 = NightFlowAnalysis::NanosI64;
constexpr NanosI64 kNanosPerMs = 1000000;
constexpr int64_t kHourMs = NightFlowAnalysis::kHourNs / kNanosPerMs;

inline int64_t floorDiv(int64_t a, int64_t b)
{
    return LocalTimeFormatter::floorDiv(a, b);
}

// The system's zone offset at an instant, in ms. On Unix Qt's local time is the C library's
// localtime_r after a tzset() on every call, and half of its cost is mktime() turning the
// fields back; the C library's own offset is the same answer without either.
class SystemOffset
{
public:
#ifdef Q_OS_UNIX
    SystemOffset()
    {
        tzset();
    }  // once per analysis: a changed TZ is seen as Qt would see it
    static int64_t at(int64_t utcMs)
    {
        const time_t t = time_t(floorDiv(utcMs, 1000));
        struct tm local;
        if (localtime_r(&t, &local))
            return int64_t(local.tm_gmtoff) * 1000;
        return viaQt(utcMs);
    }
#else
    static int64_t at(int64_t utcMs)
    {
        return viaQt(utcMs);
    }
#endif

private:
    static int64_t viaQt(int64_t utcMs)
    {
        return int64_t(QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC).toLocalTime().offsetFromUtc()) * 1000;
    }
};

// Local civil time of an instant: in `zone`, or in the system's local time when it is invalid.
class LocalClock
{
public:
    explicit LocalClock(const QTimeZone &zone) : m_zone(zone) {}

    int64_t localMs(int64_t utcMs) const
    {
        // Walking the hours asks for each hour's start twice (as the end of the hour before and
        // as a start), and asking the zone is most of the analysis' cost.
        for (const Known &k : m_known) {
            if (k.utcMs == utcMs)
                return utcMs + k.offsetMs;
        }
        const int64_t offsetMs =
            m_zone.isValid() ? int64_t(m_zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(utcMs, Qt::UTC))) * 1000
                             : m_system.at(utcMs);
        m_known[m_next] = {utcMs, offsetMs};
        m_next ^= 1;
        return utcMs + offsetMs;
    }
    LocalTimeFormatter::Civil civil(int64_t utcMs) const
    {
        return LocalTimeFormatter::civilFromLocalMillis(localMs(utcMs));
    }
    QDate date(int64_t utcMs) const
    {
        const auto c = civil(utcMs);
        return QDate(c.year, c.month, c.day);
    }
    // The start of the local hour after the one holding `utcMs`: one hour later, moved back to
    // the hour's start where the offset changed by a part of an hour, and never before `utcMs`.
    int64_t nextHourStart(int64_t hourStartMs) const
    {
        const int64_t candidate = hourStartMs + kHourMs;
        const int64_t into = LocalTimeFormatter::floorMod(localMs(candidate), kHourMs);
        const int64_t snapped = candidate - into;
        return snapped > hourStartMs ? snapped : candidate;
    }
    int64_t hourStartHolding(int64_t utcMs) const
    {
        return utcMs - LocalTimeFormatter::floorMod(localMs(utcMs), kHourMs);
    }

private:
    struct Known {
        int64_t utcMs = std::numeric_limits<int64_t>::min();
        int64_t offsetMs = 0;
    };
    QTimeZone m_zone;
    SystemOffset m_system;
    mutable Known m_known[2];
    mutable int m_next = 0;
};

// Hour boundaries are rounded down onto the quarter grid so that hour sums are exact sums of
// quarters; they only differ for historic offsets that were not whole quarter hours.
inline NanosI64 toQuarterGrid(int64_t utcMs)
{
    return floorDiv(utcMs * kNanosPerMs, NightFlowAnalysis::kQuarterNs) * NightFlowAnalysis::kQuarterNs;
}

QDateTime localDateTime(NanosI64 ns)
{
    return QDateTime::fromMSecsSinceEpoch(floorDiv(ns, kNanosPerMs));
}
}  // namespace

NightFlowAnalysis::QuarterSums NightFlowAnalysis::quarterSums(const Entries &entries)
{
    if (entries.empty())
        return QuarterSums();
    return quarterSums(entries, 0, entries.size(), entries.front().time, entries.back().time);
}

NightFlowAnalysis::QuarterSums NightFlowAnalysis::quarterSums(const Entries &entries, size_t begin, size_t end,
                                                              NanosI64 first, NanosI64 last)
{
    QuarterSums q;
    if (last < first)
        return q;
    q.empty = false;
    q.first = first;
    q.last = last;
    q.base = floorDiv(q.first, kQuarterNs) * kQuarterNs;
    // The span as unsigned: a damaged log can hold times whose difference overflows.
    const uint64_t span = uint64_t(q.last) - uint64_t(q.base);
    if (span / uint64_t(kQuarterNs) >= uint64_t(kMaxQuarters)) {
        q.tooLong = true;
        return q;
    }
    q.sums.assign(size_t(span / uint64_t(kQuarterNs)) + 1, 0);
    // Entries are sorted: walk the quarter boundaries along instead of dividing per entry.
    size_t index = 0;
    NanosI64 boundary = q.base + kQuarterNs;
    uint64_t *sums = q.sums.data();
    const size_t stop = std::min(end, entries.size());
    for (size_t i = begin; i < stop; ++i) {
        const auto &e = entries[i];
        while (e.time >= boundary) {
            ++index;
            boundary += kQuarterNs;
        }
        if (index < q.sums.size())
            sums[index] += e.count;
    }
    return q;
}

NightFlowAnalysis::Result NightFlowAnalysis::analyse(const Entries &entries, const QTimeZone &zone)
{
    return analyse(quarterSums(entries), zone);
}

NightFlowAnalysis::Result NightFlowAnalysis::analyse(const QuarterSums &q, const QTimeZone &zone)
{
    Result r;
    r.tooLong = q.tooLong;
    if (q.empty || q.tooLong)
        return r;
    const LocalClock clock(zone);
    const auto sumOf = [&q](NanosI64 from, NanosI64 to) {
        uint64_t s = 0;
        const size_t a = size_t((from - q.base) / kQuarterNs), b = size_t((to - q.base) / kQuarterNs);
        for (size_t i = a; i < b && i < q.sums.size(); ++i)
            s += q.sums[i];
        return s;
    };

    // The complete hours.
    const int64_t firstMs = floorDiv(q.first, kNanosPerMs);
    int64_t startMs = clock.hourStartHolding(firstMs);
    while (true) {
        const int64_t endMs = clock.nextHourStart(startMs);
        const NanosI64 start = toQuarterGrid(startMs), end = toQuarterGrid(endMs);
        if (end > q.last)
            break;
        if (start >= q.first && end > start) {
            const auto c = clock.civil(startMs);
            r.hours.push_back({start, end, sumOf(start, end), QDate(c.year, c.month, c.day), c.hour});
        }
        startMs = endMs;
    }

    // Leak stretches: runs without a quiet hour, 24 hours or longer.
    size_t runFirst = 0;
    for (size_t i = 0; i <= r.hours.size(); ++i) {
        if (i < r.hours.size() && r.hours[i].pulses > 0)
            continue;
        if (i > runFirst && r.hours[i - 1].end - r.hours[runFirst].start >= kLeakNs)
            r.leaks.push_back({r.hours[runFirst].start, r.hours[i - 1].end});
        runFirst = i + 1;
    }

    // Nights: the complete hours from 00:00 to 05:00 of a date, kept when none of them is missing.
    for (size_t i = 0; i < r.hours.size();) {
        const Hour &h = r.hours[i];
        if (h.hour >= kNightEndHour) {
            ++i;
            continue;
        }
        size_t j = i;
        Night n;
        n.date = h.date;
        n.start = h.start;
        n.minimumPulses = std::numeric_limits<uint64_t>::max();
        for (; j < r.hours.size() && r.hours[j].date == h.date && r.hours[j].hour < kNightEndHour; ++j) {
            if (r.hours[j].pulses < n.minimumPulses) {
                n.minimumPulses = r.hours[j].pulses;
                n.minimumHourStart = r.hours[j].start;
            }
            ++n.hours;
        }
        n.end = r.hours[j - 1].end;
        i = j;
        // Begins at the date's first instant and ends where the date's hour 5 (or a later one)
        // begins; a night cut by either end of the log is left out.
        const int64_t startMs = floorDiv(n.start, kNanosPerMs), endMs = floorDiv(n.end, kNanosPerMs);
        const auto after = clock.civil(endMs);
        const bool whole = clock.date(startMs - 1) != n.date &&
                           (QDate(after.year, after.month, after.day) != n.date || after.hour >= kNightEndHour);
        if (!whole)
            continue;
        for (const LeakStretch &s : r.leaks)
            n.leak = n.leak || (n.start < s.end && s.start < n.end);
        r.nights.push_back(n);
    }
    return r;
}

QVariantMap NightFlowAnalysis::toVariantMap(const Result &result)
{
    QVariantList nights, leaks;
    for (const Night &n : result.nights) {
        nights.append(QVariantMap{{QStringLiteral("date"), n.date.toString(Qt::ISODate)},
                                  {QStringLiteral("start"), localDateTime(n.start)},
                                  {QStringLiteral("minimumPulses"), double(n.minimumPulses)},
                                  {QStringLiteral("minimumHour"), localDateTime(n.minimumHourStart)},
                                  {QStringLiteral("hours"), n.hours},
                                  {QStringLiteral("leak"), n.leak}});
    }
    for (const LeakStretch &s : result.leaks) {
        leaks.append(QVariantMap{{QStringLiteral("start"), localDateTime(s.start)},
                                 {QStringLiteral("end"), localDateTime(s.end)},
                                 {QStringLiteral("hours"), double(s.end - s.start) / double(kHourNs)}});
    }
    return {{QStringLiteral("nights"), nights},
            {QStringLiteral("leaks"), leaks},
            {QStringLiteral("tooLong"), result.tooLong}};
}
