#pragma once

#include "pulselog/NightFlowAnalysis.h"
#include "pulselog/PulseLogTypes.h"

#include <QDate>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <utility>
#include <vector>

class PulseLog;

// The figures of the customer report: what was used, when, the nights' lowest flow and the
// continuous-flow verdict. Everything comes from the night-flow analysis' quarter-hour sums
// over the report's period, so the report, the viewer's night-flow table and `log-info` agree.
//
// A snapshot is taken from the log in its own thread (one pass over the period's entries); the
// summary and the drawing work on the snapshot alone and may run anywhere.
class CustomerReport
{
public:
    using NanosI64 = TimeTypes::Epoch1970::NanosI64;

    struct Snapshot {
        QVariantMap metaData;
        int64_t logPulses = 0;  // the whole log's, which the meter readings belong to
        bool logEmpty = true;
        bool outsideLog = false;  // the requested period and the log do not meet
        NanosI64 start = 0;       // the period: the request clamped to the log (outside it: the log's span)
        NanosI64 end = 0;
        NightFlowAnalysis::QuarterSums sums;
        uint64_t periodPulses = 0;
    };

    struct Day {
        QDate date;
        NanosI64 start = 0;  // the first instants of the date and of the next
        NanosI64 end = 0;
        uint64_t pulses = 0;
        bool complete = false;  // the period covers it from midnight to midnight
    };

    struct Summary {
        QString serial, deviceName;
        QStringList site;  // "Label: value" lines of the metadata that describe the place
        QString meterUnit, readingStart, readingEnd;
        NanosI64 start = 0, end = 0;
        QString timeZone;
        bool logEmpty = true;
        bool outsideLog = false;
        bool tooLong = false;
        // Volume when the metadata's readings give one per pulse, else revolutions.
        bool volume = false;
        QString unit;
        double unitsPerPulse = 1;
        uint64_t totalPulses = 0;
        double days = 0;  // the period's length
        std::vector<Day> dailyTotals;
        int highestDay = -1;        // index into dailyTotals of the highest complete day
        double hourOfDay[24] = {};  // average pulses of the complete hours starting at each hour
        int hoursSeen[24] = {};
        NightFlowAnalysis::Result analysis;
        int lowestNight = -1;  // index into analysis.nights
        int longestLeak = -1;  // index into analysis.leaks
    };

    // The unit of the report's volumes: `requested` when given, else the metadata's unit when it
    // is one the program knows, else "Gallons". An unknown requested unit is an error (empty).
    static QString unitFor(const QVariantMap &metaData, const QString &requested);
    static bool knownUnit(const QString &unit);

    static Snapshot snapshot(const PulseLog &log, const QDateTime &from, const QDateTime &to);
    static Summary summarise(const Snapshot &snapshot, const QString &unit);

    // Texts the page shows, the same on every run and in every locale.
    static QString number(double value, int decimals);
    static QString volumeText(const Summary &s, uint64_t pulses);
    static QString totalText(const Summary &s);
    static QString averagePerDayText(const Summary &s);
    static QString highestDayText(const Summary &s);
    static QString nightFlowUnit(const Summary &s);
    static double nightFlowValue(const Summary &s, uint64_t hourlyPulses);
    static QString nightFlowText(const Summary &s, uint64_t hourlyPulses);
    static QString lowestNightText(const Summary &s);
    static QString verdict(const Summary &s);
    // Why no report is made of this summary; empty when one is.
    static QString refusal(const Summary &s);
    static bool leakFound(const Summary &s) { return s.longestLeak >= 0; }
    static QString periodText(const Summary &s);
    static QString localMinutes(NanosI64 t);
    static QString isoLocal(NanosI64 t);

    // What `report --json` prints: the figures of the page.
    static QJsonObject toJson(const Summary &s);
};
