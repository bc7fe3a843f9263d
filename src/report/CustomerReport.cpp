#include "CustomerReport.h"

#include "pulselog/LocalTimeFormatter.h"
#include "pulselog/MeterUnits.h"
#include "pulselog/PulseLog.h"
#include "pulselog/PulseLogAnalysis.h"

#include <QJsonArray>
#include <QLocale>
#include <QTimeZone>

#include <cmath>

namespace {
using NanosI64 = CustomerReport::NanosI64;
constexpr NanosI64 kNanosPerMs = 1000000;
constexpr double kNanosPerDay = 86400.0 * 1e9;

const char *const kSiteFields[][2] = {
    {"Logger Job Name", "Job"},
    {"Customer Name", "Customer"},
    {"Customer ID", "Customer ID"},
    {"Customer Address", "Address"},
    {"Customer City", "City"},
    {"Customer State", "State"},
    {"Customer Postal Code", "Postal Code"},
    {"Customer Phone Number", "Phone"},
    {"Meter Make", "Meter Make"},
    {"Meter Model", "Meter Model"},
    {"Meter Size", "Meter Size"},
};

int64_t msOf(NanosI64 ns)
{
    return LocalTimeFormatter::floorDiv(ns, kNanosPerMs);
}

QDateTime local(NanosI64 ns)
{
    return QDateTime::fromMSecsSinceEpoch(msOf(ns));
}

// The first instant of a local date: not 00:00 on the days whose clocks jump at midnight.
NanosI64 dayStart(const QDate &date)
{
    return date.startOfDay().toMSecsSinceEpoch() * kNanosPerMs;
}

QString metaText(const QVariantMap &meta, const char *key)
{
    // Shown as plain text: whatever the file holds, on one line.
    return meta.value(QLatin1String(key)).toString().simplified();
}

// Pulse sums per local date over the quarter-hour sums; a zone's offsets are whole quarter
// hours, so every quarter lies inside one date. Quarters go by their date rather than by a
// precomputed end, so a day of 23 or 25 hours is still one day.
std::vector<CustomerReport::Day> dailyTotals(const CustomerReport::Snapshot &snap)
{
    std::vector<CustomerReport::Day> days;
    const auto &q = snap.sums;
    if (q.empty || q.tooLong)
        return days;
    CustomerReport::Day day;
    for (size_t i = 0; i < q.sums.size(); ++i) {
        const NanosI64 t = q.base + NanosI64(i) * NightFlowAnalysis::kQuarterNs;
        const QDate date = local(std::max(t, snap.start)).date();
        if (days.empty() || date != day.date) {
            if (!days.empty())
                days.back() = day;
            day = CustomerReport::Day();
            day.date = date;
            day.start = dayStart(date);
            day.end = dayStart(date.addDays(1));
            day.complete = day.start >= snap.start && day.end <= snap.end;
            days.push_back(day);
        }
        day.pulses += q.sums[i];
    }
    days.back() = day;
    return days;
}
}  // namespace

bool CustomerReport::knownUnit(const QString &unit)
{
    return std::isfinite(MeterUnits::toGallons(1, unit));
}

QString CustomerReport::unitFor(const QVariantMap &metaData, const QString &requested)
{
    if (!requested.isEmpty())
        return knownUnit(requested) ? requested : QString();
    const QString meta = metaData.value(QStringLiteral("Meter Reading Unit")).toString().trimmed();
    return knownUnit(meta) ? meta : QStringLiteral("Gallons");
}

CustomerReport::Snapshot CustomerReport::snapshot(const PulseLog &log, const QDateTime &from, const QDateTime &to)
{
    Snapshot s;
    s.metaData = log.metaData();
    s.logPulses = log.totalPulseCount();
    const auto &entries = log.entries();
    const PulseLogAnalysis::Range range = PulseLogAnalysis::clampRange(entries, from, to);
    s.logEmpty = range.logEmpty;
    s.outsideLog = range.outsideLog;
    if (s.logEmpty)
        return s;
    if (s.outsideLog) {
        s.start = entries.front().time;
        s.end = entries.back().time;
        return s;
    }
    s.start = range.startNs;
    s.end = range.endNs;
    const auto span = PulseLogAnalysis::entrySpan(entries, range);
    s.sums = NightFlowAnalysis::quarterSums(entries, span.first, span.second, s.start, s.end);
    if (s.sums.tooLong) {
        // No quarters for a span of centuries (a damaged clock), but the pulses still count.
        for (size_t i = span.first; i < span.second; ++i)
            s.periodPulses += entries[i].count;
    }
    for (uint64_t v : s.sums.sums)
        s.periodPulses += v;
    return s;
}

CustomerReport::Summary CustomerReport::summarise(const Snapshot &snap, const QString &unit)
{
    Summary s;
    const QVariantMap &meta = snap.metaData;
    s.serial = metaText(meta, "Logger Serial");
    s.deviceName = metaText(meta, "Logger Device Name");
    for (const auto &field : kSiteFields) {
        const QString value = metaText(meta, field[0]);
        if (!value.isEmpty())
            s.site << QStringLiteral("%1: %2").arg(QLatin1String(field[1]), value);
    }
    s.meterUnit = metaText(meta, "Meter Reading Unit");
    s.readingStart = metaText(meta, "Meter Reading Start");
    s.readingEnd = metaText(meta, "Meter Reading End");
    s.timeZone = QString::fromUtf8(QTimeZone::systemTimeZoneId());
    s.unit = unit;
    const double gallons = MeterUnits::gallonsPerPulse(meta, snap.logPulses);
    const double perUnit = MeterUnits::toGallons(1, unit);
    s.volume = std::isfinite(gallons) && gallons > 0 && std::isfinite(perUnit) && perUnit > 0;
    s.unitsPerPulse = s.volume ? gallons / perUnit : 1.0;
    s.logEmpty = snap.logEmpty;
    s.outsideLog = snap.outsideLog;
    s.tooLong = snap.sums.tooLong;
    if (s.logEmpty)
        return s;
    s.start = snap.start;
    s.end = snap.end;
    if (s.outsideLog)
        return s;
    s.days = double(snap.end - snap.start) / kNanosPerDay;
    s.totalPulses = snap.periodPulses;

    s.dailyTotals = dailyTotals(snap);
    for (size_t i = 0; i < s.dailyTotals.size(); ++i) {
        const Day &d = s.dailyTotals[i];
        if (d.complete && (s.highestDay < 0 || d.pulses > s.dailyTotals[size_t(s.highestDay)].pulses))
            s.highestDay = int(i);
    }

    s.analysis = NightFlowAnalysis::analyse(snap.sums);
    uint64_t hourSums[24] = {};
    for (const auto &h : s.analysis.hours) {
        hourSums[h.hour] += h.pulses;
        ++s.hoursSeen[h.hour];
    }
    for (int h = 0; h < 24; ++h)
        s.hourOfDay[h] = s.hoursSeen[h] ? double(hourSums[h]) / s.hoursSeen[h] : 0.0;
    const auto &nights = s.analysis.nights;
    for (size_t i = 0; i < nights.size(); ++i) {
        if (s.lowestNight < 0 || nights[i].minimumPulses < nights[size_t(s.lowestNight)].minimumPulses)
            s.lowestNight = int(i);
    }
    const auto &leaks = s.analysis.leaks;
    for (size_t i = 0; i < leaks.size(); ++i) {
        const auto &longest = leaks[size_t(std::max(s.longestLeak, 0))];
        if (s.longestLeak < 0 || leaks[i].end - leaks[i].start > longest.end - longest.start)
            s.longestLeak = int(i);
    }
    return s;
}

QString CustomerReport::number(double value, int decimals)
{
    static const QLocale us(QLocale::English, QLocale::UnitedStates);
    return us.toString(value, 'f', decimals);
}

namespace {
// Enough digits to read a household's figures in any unit, from liters to CCF.
int volumeDecimals(double v)
{
    const double a = std::abs(v);
    return a >= 1000 ? 0 : a >= 100 ? 1 : a >= 10 ? 2 : 3;
}
}  // namespace

QString CustomerReport::volumeText(const Summary &s, uint64_t pulses)
{
    if (!s.volume)
        return QStringLiteral("%1 revolutions").arg(number(double(pulses), 0));
    const double v = double(pulses) * s.unitsPerPulse;
    return QStringLiteral("%1 %2").arg(number(v, volumeDecimals(v)), s.unit);
}

QString CustomerReport::totalText(const Summary &s)
{
    return volumeText(s, s.totalPulses);
}

QString CustomerReport::averagePerDayText(const Summary &s)
{
    if (!(s.days > 0))
        return QStringLiteral("not available (no time between the first and last pulse)");
    const double perDay = double(s.totalPulses) / s.days;
    if (!s.volume)
        return QStringLiteral("%1 revolutions").arg(number(perDay, 1));
    const double v = perDay * s.unitsPerPulse;
    return QStringLiteral("%1 %2").arg(number(v, volumeDecimals(v)), s.unit);
}

QString CustomerReport::highestDayText(const Summary &s)
{
    if (s.highestDay < 0)
        return QStringLiteral("no complete day in the period");
    const Day &d = s.dailyTotals[size_t(s.highestDay)];
    return QStringLiteral("%1 (%2)").arg(d.date.toString(Qt::ISODate), volumeText(s, d.pulses));
}

QString CustomerReport::nightFlowUnit(const Summary &s)
{
    return s.volume ? s.unit + QStringLiteral(" per Minute") : QStringLiteral("Revolutions per Hour");
}

double CustomerReport::nightFlowValue(const Summary &s, uint64_t hourlyPulses)
{
    return s.volume ? double(hourlyPulses) * s.unitsPerPulse / 60.0 : double(hourlyPulses);
}

QString CustomerReport::nightFlowText(const Summary &s, uint64_t hourlyPulses)
{
    return number(nightFlowValue(s, hourlyPulses), s.volume ? 4 : 0);
}

QString CustomerReport::lowestNightText(const Summary &s)
{
    if (s.lowestNight < 0)
        return QStringLiteral("no complete night (00:00 to 05:00) in the period");
    const auto &n = s.analysis.nights[size_t(s.lowestNight)];
    return QStringLiteral("%1 %2 (%3)")
        .arg(nightFlowText(s, n.minimumPulses), nightFlowUnit(s), localMinutes(n.minimumHourStart));
}

QString CustomerReport::verdict(const Summary &s)
{
    if (s.tooLong)
        return QStringLiteral("Not analysed: the period spans more than 20 years");
    // A day-long stretch cannot fit: "no continuous flow" would claim what was never seen.
    if (s.end - s.start < NightFlowAnalysis::kLeakNs)
        return QStringLiteral("Too short to judge continuous flow: under 24 hours recorded");
    if (s.longestLeak < 0)
        return QStringLiteral("No continuous flow of 24 hours or more");
    const auto &leak = s.analysis.leaks[size_t(s.longestLeak)];
    QString text = QStringLiteral("Possible leak: water ran without a break for %1 hours (from %2 to %3)")
                       .arg((leak.end - leak.start) / NightFlowAnalysis::kHourNs)
                       .arg(localMinutes(leak.start), localMinutes(leak.end));
    if (s.analysis.leaks.size() > 1)
        text += QStringLiteral(" and %1 more").arg(s.analysis.leaks.size() - 1);
    return text;
}

QString CustomerReport::refusal(const Summary &s)
{
    if (!s.outsideLog)
        return QString();
    return QStringLiteral("the period holds none of the log, which runs from %1 to %2")
        .arg(localMinutes(s.start), localMinutes(s.end));
}

QString CustomerReport::localMinutes(NanosI64 t)
{
    return local(t).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString CustomerReport::isoLocal(NanosI64 t)
{
    const QDateTime l = local(t);
    return l.toOffsetFromUtc(l.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString CustomerReport::periodText(const Summary &s)
{
    if (s.logEmpty)
        return QStringLiteral("the log holds no pulses");
    const auto offset = [](NanosI64 t) {
        const int seconds = local(t).offsetFromUtc();
        const int minutes = std::abs(seconds) / 60;
        return QStringLiteral("UTC%1%2:%3")
            .arg(seconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
            .arg(minutes / 60, 2, 10, QLatin1Char('0'))
            .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    };
    QString zone = offset(s.start);
    if (offset(s.end) != zone)
        zone += QStringLiteral(" / ") + offset(s.end);
    return QStringLiteral("%1 to %2 (%3, %4)").arg(localMinutes(s.start), localMinutes(s.end), s.timeZone, zone);
}

QJsonObject CustomerReport::toJson(const Summary &s)
{
    QJsonObject o;
    o.insert(QStringLiteral("serial"), s.serial);
    o.insert(QStringLiteral("periodStart"), s.logEmpty ? QJsonValue() : QJsonValue(isoLocal(s.start)));
    o.insert(QStringLiteral("periodEnd"), s.logEmpty ? QJsonValue() : QJsonValue(isoLocal(s.end)));
    o.insert(QStringLiteral("period"), periodText(s));
    o.insert(QStringLiteral("days"), s.days);
    o.insert(QStringLiteral("unit"), s.volume ? s.unit : QStringLiteral("revolutions"));
    o.insert(QStringLiteral("totalPulses"), double(s.totalPulses));
    o.insert(QStringLiteral("total"), s.volume ? double(s.totalPulses) * s.unitsPerPulse : double(s.totalPulses));
    o.insert(QStringLiteral("totalText"), totalText(s));
    o.insert(QStringLiteral("averagePerDay"),
             s.days > 0 ? QJsonValue(double(s.totalPulses) / s.days * s.unitsPerPulse) : QJsonValue());
    o.insert(QStringLiteral("averagePerDayText"), averagePerDayText(s));
    QJsonValue highest;
    if (s.highestDay >= 0) {
        const Day &d = s.dailyTotals[size_t(s.highestDay)];
        highest = QJsonObject{{QStringLiteral("date"), d.date.toString(Qt::ISODate)},
                              {QStringLiteral("pulses"), double(d.pulses)},
                              {QStringLiteral("total"), double(d.pulses) * s.unitsPerPulse},
                              {QStringLiteral("text"), highestDayText(s)}};
    }
    o.insert(QStringLiteral("highestDay"), highest);
    QJsonArray daily;
    for (const Day &d : s.dailyTotals) {
        daily.append(QJsonObject{{QStringLiteral("date"), d.date.toString(Qt::ISODate)},
                                 {QStringLiteral("pulses"), double(d.pulses)},
                                 {QStringLiteral("complete"), d.complete}});
    }
    o.insert(QStringLiteral("dailyTotals"), daily);
    o.insert(QStringLiteral("nightFlowUnit"), nightFlowUnit(s));
    QJsonValue lowest;
    if (s.lowestNight >= 0) {
        const auto &n = s.analysis.nights[size_t(s.lowestNight)];
        lowest = QJsonObject{{QStringLiteral("night"), n.date.toString(Qt::ISODate)},
                             {QStringLiteral("hour"), isoLocal(n.minimumHourStart)},
                             {QStringLiteral("hourlyPulses"), double(n.minimumPulses)},
                             {QStringLiteral("nightFlow"), nightFlowValue(s, n.minimumPulses)},
                             {QStringLiteral("text"), lowestNightText(s)}};
    }
    o.insert(QStringLiteral("lowestNightHour"), lowest);
    o.insert(QStringLiteral("verdict"), verdict(s));
    QJsonArray leaks;
    for (const auto &l : s.analysis.leaks) {
        leaks.append(
            QJsonObject{{QStringLiteral("start"), isoLocal(l.start)},
                        {QStringLiteral("end"), isoLocal(l.end)},
                        {QStringLiteral("hours"), double(l.end - l.start) / double(NightFlowAnalysis::kHourNs)}});
    }
    o.insert(QStringLiteral("leakStretches"), leaks);
    return o;
}
