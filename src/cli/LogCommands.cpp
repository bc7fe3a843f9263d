#include "LogCommands.h"

#include "enduse/EndUseEngine.h"
#include "pulselog/MeterUnits.h"
#include "pulselog/NightFlowAnalysis.h"
#include "pulselog/NightFlowDisplay.h"
#include "pulselog/PulseLog.h"
#include "pulselog/PulseLogAnalysis.h"
#include "pulselog/SafeFileWriter.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QTextStream>

#include <array>
#include <cmath>
#include <limits>

namespace {
// Library warnings are gathered so that a failure ends in one line naming its cause.
QStringList *g_warnings = nullptr;

void collectWarning(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (g_warnings && type != QtDebugMsg && type != QtInfoMsg)
        g_warnings->append(message);
}

int runQuietly(const std::function<int(QStringList &warnings)> &body)
{
    QStringList warnings;
    g_warnings = &warnings;
    const QtMessageHandler previous = qInstallMessageHandler(collectWarning);
    const int status = body(warnings);
    qInstallMessageHandler(previous);
    g_warnings = nullptr;
    return status;
}

QString withCause(const QString &message, const QStringList &warnings)
{
    return warnings.isEmpty() ? message : message + QStringLiteral(": ") + warnings.last();
}

void printWarnings(const QStringList &warnings)
{
    for (const QString &w : warnings)
        fprintf(stderr, "tarrowind-cli: warning: %s\n", w.toLocal8Bit().constData());
}

QString isoLocal(int64_t ns)
{
    // with the zone's offset, so the text names one instant
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ns / 1000000);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QJsonValue numberOrNull(float v)
{
    return std::isnan(v) ? QJsonValue() : QJsonValue(double(v));
}

QString numberOrNone(float v)
{
    return std::isnan(v) ? QStringLiteral("none") : QString::number(double(v), 'f', 3);
}

void insertNightFlow(QJsonObject &o, const NightFlowAnalysis::Result &r, const NightFlowDisplay &d)
{
    o.insert(QStringLiteral("nightFlowUnit"), d.unit);
    if (r.tooLong) {
        o.insert(QStringLiteral("nights"), QJsonValue());
        o.insert(QStringLiteral("leakStretches"), QJsonValue());
        return;
    }
    QJsonArray nights, leaks;
    for (const auto &n : r.nights) {
        nights.append(QJsonObject{{QStringLiteral("night"), n.date.toString(Qt::ISODate)},
                                  {QStringLiteral("minimumNightFlow"), double(n.minimumPulses) * d.perHourlyPulse},
                                  {QStringLiteral("minimumHourlyPulses"), double(n.minimumPulses)},
                                  {QStringLiteral("minimumHour"), isoLocal(n.minimumHourStart)},
                                  {QStringLiteral("hours"), n.hours},
                                  {QStringLiteral("leak"), n.leak}});
    }
    for (const auto &s : r.leaks) {
        leaks.append(
            QJsonObject{{QStringLiteral("start"), isoLocal(s.start)},
                        {QStringLiteral("end"), isoLocal(s.end)},
                        {QStringLiteral("hours"), double(s.end - s.start) / double(NightFlowAnalysis::kHourNs)}});
    }
    o.insert(QStringLiteral("nights"), nights);
    o.insert(QStringLiteral("leakStretches"), leaks);
}

void printNightFlow(QTextStream &out, const NightFlowAnalysis::Result &r, const NightFlowDisplay &d)
{
    out << "night flow unit: " << d.unit << "\n";
    if (r.tooLong) {
        out << "nights: not analysed (the log spans more than 20 years)\n";
        return;
    }
    out << "nights:" << (r.nights.empty() ? " none" : "") << "\n";
    for (const auto &n : r.nights) {
        out << "  " << n.date.toString(Qt::ISODate) << ": " << d.text(n.minimumPulses) << " at "
            << QDateTime::fromMSecsSinceEpoch(n.minimumHourStart / 1000000).toString(QStringLiteral("HH:mm"))
            << (n.leak ? ", leak" : "") << "\n";
    }
    out << "leak stretches:" << (r.leaks.empty() ? " none" : "") << "\n";
    for (const auto &s : r.leaks) {
        out << "  " << isoLocal(s.start) << " to " << isoLocal(s.end) << " ("
            << (s.end - s.start) / NightFlowAnalysis::kHourNs << " hours)\n";
    }
}

// `name` without its dashes; untouched `date` when the option is not given.
bool parseDate(const QCommandLineParser &args, const QString &name, QDateTime *date, QString *error)
{
    if (!args.isSet(name))
        return true;
    const QString text = args.value(name);
    *date = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!date->isValid()) {
        *error = QStringLiteral("--%1: not an ISO 8601 date: %2").arg(name, text);
        return false;
    }
    return true;
}

bool parseNumber(const QCommandLineParser &args, const QString &name, double *value, QString *error)
{
    if (!args.isSet(name))
        return true;
    const QString text = args.value(name);
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v)) {
        *error = QStringLiteral("--%1: not a number: %2").arg(name, text);
        return false;
    }
    *value = v;
    return true;
}

bool takeFile(const QCommandLineParser &parsed, QString *file, QString *error)
{
    const QStringList args = parsed.positionalArguments();
    if (args.size() != 1) {
        *error = args.isEmpty() ? QStringLiteral("missing FILE.rlog")
                                : QStringLiteral("unexpected argument %1").arg(args.value(1));
        return false;
    }
    *file = args.first();
    return true;
}

bool loadLog(PulseLog &log, const QString &file, const QStringList &warnings, QString *error)
{
    if (!log.load(file)) {
        *error = withCause(QStringLiteral("cannot read %1").arg(file), warnings);
        return false;
    }
    return true;
}

// Runs `body` on the loaded log with library warnings gathered; those of the load are printed
// first, so `warnings` holds only what came after.
int withLog(const QString &file, const std::function<int(PulseLog &log, QStringList &warnings)> &body)
{
    return runQuietly([&](QStringList &warnings) {
        PulseLog log;
        QString error;
        if (!loadLog(log, file, warnings, &error))
            return Cli::fail(error);
        printWarnings(warnings);
        warnings.clear();
        return body(log, warnings);
    });
}

int logInfo(const QCommandLineParser &args)
{
    const bool json = args.isSet(QStringLiteral("json"));
    QString file, error;
    if (!takeFile(args, &file, &error))
        return Cli::fail(error);
    return withLog(file, [&](PulseLog &log, QStringList &warnings) {
        const auto &entries = log.entries();
        const QVariantMap meta = log.metaData();
        if (json) {
            QJsonObject o;
            o.insert(QStringLiteral("entryCount"), double(entries.size()));
            o.insert(QStringLiteral("totalPulses"), double(log.totalPulseCount()));
            o.insert(QStringLiteral("firstEntry"),
                     entries.empty() ? QJsonValue() : QJsonValue(isoLocal(entries.front().time)));
            o.insert(QStringLiteral("lastEntry"),
                     entries.empty() ? QJsonValue() : QJsonValue(isoLocal(entries.back().time)));
            o.insert(QStringLiteral("readingCount"), double(log.environmentReadings().size()));
            o.insert(QStringLiteral("rawBytes"), double(log.rawData().size()));
            o.insert(QStringLiteral("minimumVoltage"), numberOrNull(log.minimumVoltage()));
            o.insert(QStringLiteral("maximumVoltage"), numberOrNull(log.maximumVoltage()));
            o.insert(QStringLiteral("minimumTemperatureCelsiusDegrees"),
                     numberOrNull(log.minimumTemperatureCelsiusDegrees()));
            o.insert(QStringLiteral("maximumTemperatureCelsiusDegrees"),
                     numberOrNull(log.maximumTemperatureCelsiusDegrees()));
            o.insert(QStringLiteral("metaData"), QJsonObject::fromVariantMap(meta));
            insertNightFlow(o, NightFlowAnalysis::analyse(entries), NightFlowDisplay(log));
            Cli::printJson(o);
            return 0;
        }
        QString text;
        QTextStream out(&text);
        out << "entries: " << entries.size() << "\n";
        out << "total pulses: " << log.totalPulseCount() << "\n";
        out << "first entry: " << (entries.empty() ? QStringLiteral("none") : isoLocal(entries.front().time)) << "\n";
        out << "last entry: " << (entries.empty() ? QStringLiteral("none") : isoLocal(entries.back().time)) << "\n";
        out << "readings: " << log.environmentReadings().size() << "\n";
        out << "minimum voltage: " << numberOrNone(log.minimumVoltage()) << "\n";
        out << "maximum voltage: " << numberOrNone(log.maximumVoltage()) << "\n";
        out << "minimum temperature: " << numberOrNone(log.minimumTemperatureCelsiusDegrees()) << "\n";
        out << "maximum temperature: " << numberOrNone(log.maximumTemperatureCelsiusDegrees()) << "\n";
        out << "metadata:" << (meta.isEmpty() ? " none" : "") << "\n";
        for (auto it = meta.constBegin(); it != meta.constEnd(); ++it)
            out << "  " << it.key() << ": " << it.value().toString() << "\n";
        printNightFlow(out, NightFlowAnalysis::analyse(entries), NightFlowDisplay(log));
        out.flush();
        Cli::print(text);
        return 0;
    });
}

int logExport(const QCommandLineParser &args)
{
    QString format, output, unit = QStringLiteral("Gallons"), error;
    double intervalSeconds = 10, unitsPerPulse = 1, initialReading = 0, endReading = 0;
    QDateTime from, to;
    if (!args.isSet(QStringLiteral("format")))
        return Cli::fail(QStringLiteral("missing --format meta|pulses|environment|grouped|mm100|xlsx|rlog"));
    format = args.value(QStringLiteral("format"));
    output = args.value(QStringLiteral("o"));
    if (output.isEmpty())
        return Cli::fail(QStringLiteral("missing -o OUT"));
    if (args.isSet(QStringLiteral("unit")))
        unit = args.value(QStringLiteral("unit"));
    if (!parseNumber(args, QStringLiteral("interval-s"), &intervalSeconds, &error) ||
        !parseNumber(args, QStringLiteral("units-per-pulse"), &unitsPerPulse, &error) ||
        !parseNumber(args, QStringLiteral("initial-reading"), &initialReading, &error) ||
        !parseNumber(args, QStringLiteral("end-reading"), &endReading, &error) ||
        !parseDate(args, QStringLiteral("from"), &from, &error) || !parseDate(args, QStringLiteral("to"), &to, &error))
        return Cli::fail(error);
    const double intervalMs = std::round(intervalSeconds * 1000.0);
    if (intervalMs < 1 || intervalMs > double(std::numeric_limits<uint32_t>::max()))
        return Cli::fail(QStringLiteral("--interval-s must lie between 0.001 and 4294967"));
    const uint32_t m = uint32_t(intervalMs);
    QString file;
    if (!takeFile(args, &file, &error))
        return Cli::fail(error);
    static const QStringList formats = {"meta", "pulses", "environment", "grouped", "mm100", "xlsx", "rlog"};
    if (!formats.contains(format))
        return Cli::fail(QStringLiteral("unknown format %1 (one of %2)").arg(format, formats.join('|')));

    return withLog(file, [&](PulseLog &log, QStringList &warnings) {
        bool ok = false;
        if (format == QLatin1String("meta"))
            ok = log.exportMetaDataCsv(output);
        else if (format == QLatin1String("pulses"))
            ok = log.exportPulsesCsv(output, from, to);
        else if (format == QLatin1String("environment"))
            ok = log.exportEnvironmentCsv(output, from, to);
        else if (format == QLatin1String("grouped"))
            ok = log.exportGroupedCsv(output, m, unit, unitsPerPulse, initialReading, endReading, from, to);
        else if (format == QLatin1String("mm100"))
            ok = log.exportMM100(output, m, unit, unitsPerPulse, initialReading, endReading, from, to);
        else if (format == QLatin1String("xlsx"))
            ok = log.exportXLSX(output, m, unit, unitsPerPulse, initialReading, endReading, from, to);
        else
            ok = log.saveRaw(output);
        if (!ok)
            return Cli::fail(withCause(QStringLiteral("%1 export to %2 failed").arg(format, output), warnings));
        return 0;
    });
}

int logBins(const QCommandLineParser &args)
{
    QString error;
    QDateTime from, to;
    if (!args.isSet(QStringLiteral("interval-ms")))
        return Cli::fail(QStringLiteral("missing --interval-ms M"));
    const QString intervalText = args.value(QStringLiteral("interval-ms"));
    bool ok = false;
    const uint m = intervalText.toUInt(&ok);
    if (!ok || m == 0)
        return Cli::fail(QStringLiteral("--interval-ms: not a positive whole number: %1").arg(intervalText));
    if (!parseDate(args, QStringLiteral("from"), &from, &error) || !parseDate(args, QStringLiteral("to"), &to, &error))
        return Cli::fail(error);
    QString file;
    if (!takeFile(args, &file, &error))
        return Cli::fail(error);
    return withLog(file, [&](PulseLog &log, QStringList &warnings) {
        const DataSeriesVectorPtr bins = log.asTimeBinsQml(m, from, to);
        if (bins->empty() && !log.entries().empty())
            return Cli::fail(withCause(QStringLiteral("cannot bin %1").arg(file), warnings));
        QByteArray text;
        text.reserve(int(bins->size()) * 4);
        for (double v : *bins) {
            text += QByteArray::number(v, 'f', 0);
            text += '\n';
        }
        Cli::print(QString::fromLatin1(text));
        return 0;
    });
}

QString isoUtc(int64_t ns)
{
    return QDateTime::fromMSecsSinceEpoch(ns / 1000000, Qt::UTC).toString(Qt::ISODateWithMs);
}

// The volume unit and the volume of one pulse in it: the user's, else the log's readings'.
struct UseVolume {
    QString unit;
    double perPulse = 0;   // in `unit`
    double litresPer = 0;  // litres in one `unit`
};

bool useVolume(const QCommandLineParser &args, const PulseLog &log, UseVolume *v, QString *error)
{
    const QVariantMap meta = log.metaData();
    const QString metaUnit = meta.value(QStringLiteral("Meter Reading Unit")).toString().trimmed();
    v->unit = args.isSet(QStringLiteral("unit"))                  ? args.value(QStringLiteral("unit"))
              : std::isfinite(MeterUnits::toGallons(1, metaUnit)) ? metaUnit
                                                                  : QStringLiteral("Gallons");
    const double gallonsPerUnit = MeterUnits::toGallons(1, v->unit);
    if (!std::isfinite(gallonsPerUnit)) {
        *error = QStringLiteral("--unit: not a volume unit: %1 (one of Gallons, CCF, CF, Cubic Meters, Liters)")
                     .arg(v->unit);
        return false;
    }
    v->litresPer = gallonsPerUnit / MeterUnits::toGallons(1, QStringLiteral("Liters"));
    if (args.isSet(QStringLiteral("units-per-pulse"))) {
        if (!parseNumber(args, QStringLiteral("units-per-pulse"), &v->perPulse, error))
            return false;
        if (!(v->perPulse > 0)) {
            *error = QStringLiteral("--units-per-pulse must be above 0");
            return false;
        }
        return true;
    }
    const double gallons = MeterUnits::gallonsPerPulse(meta, log.totalPulseCount());
    if (!(gallons > 0)) {
        *error = QStringLiteral("This log has no meter readings: give the volume per pulse with --units-per-pulse");
        return false;
    }
    v->perPulse = gallons / gallonsPerUnit;
    return true;
}

bool writeUsesCsv(const QString &path, const std::vector<EndUse::Event> &events, const UseVolume &v, QString *error)
{
    SafeFileWriter out(path);
    if (!out.open()) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    out.append(QStringLiteral("start,end,use,volume,peakFlow\r\n").toLatin1());
    for (const EndUse::Event &e : events) {
        out.append(QStringLiteral("%1,%2,%3,%4,%5\r\n")
                       .arg(isoUtc(e.start), isoUtc(e.end), EndUse::key(e.use),
                            QString::number(e.litres / v.litresPer, 'g', 10),
                            QString::number(e.peakLitresPerMinute / v.litresPer, 'g', 10))
                       .toLatin1());
    }
    if (!out.commit()) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

int logUses(const QCommandLineParser &args)
{
    QString file, error;
    QDateTime from, to;
    if (!takeFile(args, &file, &error) || !parseDate(args, QStringLiteral("from"), &from, &error) ||
        !parseDate(args, QStringLiteral("to"), &to, &error))
        return Cli::fail(error);
    return withLog(file, [&](PulseLog &log, QStringList &warnings) {
        UseVolume volume;
        if (!useVolume(args, log, &volume, &error))
            return Cli::fail(error);
        const auto &entries = log.entries();
        if (entries.empty())
            return Cli::fail(QStringLiteral("%1 holds no pulses").arg(file));
        const PulseLogAnalysis::Range range = PulseLogAnalysis::clampRange(entries, from, to);
        const auto span = PulseLogAnalysis::entrySpan(entries, range);
        // One pulse time says nothing about a flow.
        if (span.second - span.first < 2)
            return Cli::fail(QStringLiteral("the period holds %1 pulse time(s) of the log (from %2 to %3): "
                                            "too few to tell uses apart")
                                 .arg(span.second - span.first)
                                 .arg(isoUtc(entries.front().time), isoUtc(entries.back().time)));
        const EndUseEngine::Result result = EndUseEngine::analyse(
            entries.data() + span.first, entries.data() + span.second, volume.perPulse * volume.litresPer);
        if (args.isSet(QStringLiteral("csv")) &&
            !writeUsesCsv(args.value(QStringLiteral("csv")), result.events, volume, &error))
            return Cli::fail(withCause(error, warnings));

        const double days = double(range.endNs - range.startNs) / (86400.0 * 1e9);
        const double total = result.litres / volume.litresPer;
        std::array<int, EndUse::kUseCount> counts{};
        std::array<double, EndUse::kUseCount> volumes{};
        for (const EndUse::Event &e : result.events) {
            counts[size_t(e.use)] += 1;
            volumes[size_t(e.use)] += e.litres / volume.litresPer;
        }
        if (args.isSet(QStringLiteral("json"))) {
            QJsonObject uses;
            for (EndUse::Use u : EndUse::kUses)
                uses.insert(EndUse::key(u), QJsonObject{{QStringLiteral("events"), counts[size_t(u)]},
                                                        {QStringLiteral("volume"), volumes[size_t(u)]}});
            QJsonArray events;
            for (const EndUse::Event &e : result.events)
                events.append(QJsonObject{{QStringLiteral("start"), isoUtc(e.start)},
                                          {QStringLiteral("end"), isoUtc(e.end)},
                                          {QStringLiteral("use"), EndUse::key(e.use)},
                                          {QStringLiteral("volume"), e.litres / volume.litresPer},
                                          {QStringLiteral("peakFlow"), e.peakLitresPerMinute / volume.litresPer}});
            Cli::printJson(QJsonObject{{QStringLiteral("unit"), volume.unit},
                                       {QStringLiteral("total"), total},
                                       {QStringLiteral("days"), days},
                                       {QStringLiteral("uses"), uses},
                                       {QStringLiteral("events"), events}});
            return 0;
        }
        QString text;
        QTextStream out(&text);
        const auto row = [&](const QString &name, int n, double v) {
            out << qSetFieldWidth(15) << Qt::left << name << qSetFieldWidth(8) << Qt::right << n << qSetFieldWidth(16)
                << QString::number(v, 'f', 3) << qSetFieldWidth(9)
                << QString::number(total > 0 ? 100 * v / total : 0, 'f', 1) << qSetFieldWidth(0) << " %"
                << qSetFieldWidth(14) << (days > 0 ? QString::number(v / days, 'f', 3) : QStringLiteral("-"))
                << qSetFieldWidth(0) << "\n";
        };
        out << qSetFieldWidth(15) << Qt::left << "use" << qSetFieldWidth(8) << Qt::right << "events"
            << qSetFieldWidth(16) << volume.unit << qSetFieldWidth(11) << "share" << qSetFieldWidth(14) << "per day"
            << qSetFieldWidth(0) << "\n";
        for (EndUse::Use u : EndUse::kUses)
            row(EndUse::key(u), counts[size_t(u)], volumes[size_t(u)]);
        row(QStringLiteral("total"), int(result.events.size()), total);
        out << "period: " << isoUtc(range.startNs) << " to " << isoUtc(range.endNs) << " ("
            << QString::number(days, 'f', 2) << " days)\n";
        // A drip and a flapper's refills alike: the leak's water over the hours it was seen.
        int64_t leakStart = INT64_MAX, leakEnd = INT64_MIN;
        for (const EndUse::Event &e : result.events) {
            if (e.use == EndUse::Use::Leak) {
                leakStart = std::min(leakStart, e.start);
                leakEnd = std::max(leakEnd, e.end);
            }
        }
        if (leakEnd > leakStart) {
            const double hours = double(leakEnd - leakStart) / 3.6e12;
            out << "leak: " << QString::number(volumes[size_t(EndUse::Use::Leak)] / hours, 'f', 3) << " " << volume.unit
                << " per hour over " << QString::number(hours, 'f', 1) << " hours\n";
        }
        out.flush();
        Cli::print(text);
        return 0;
    });
}
}  // namespace

std::vector<CliCommand> logCommands()
{
    const auto dated = [](const QString &name, const QString &description) {
        return Cli::option({name}, QStringLiteral("ISO8601"), description);
    };
    const QCommandLineOption from = dated(QStringLiteral("from"), QStringLiteral("leave out what is earlier"));
    const QCommandLineOption to = dated(QStringLiteral("to"), QStringLiteral("leave out what is later"));
    return {
        {QStringLiteral("log-info"),
         QStringLiteral("log-info FILE.rlog [--json]"),
         QStringLiteral("entries, pulses, time span, readings, extremes, metadata, night flows and leaks of a raw log"),
         {Cli::jsonOption()},
         logInfo},
        {QStringLiteral("log-export"),
         QStringLiteral("log-export FILE.rlog --format meta|pulses|environment|grouped|mm100|xlsx|rlog -o OUT "
                        "[--interval-s S] [--unit U] [--units-per-pulse X] [--initial-reading R] "
                        "[--end-reading R] [--from ISO8601] [--to ISO8601]"),
         QStringLiteral("export a raw log (defaults: 10 s, Gallons, 1 per pulse, readings 0, whole log)"),
         {Cli::option({QStringLiteral("format")}, QStringLiteral("F"), QStringLiteral("what to write")),
          Cli::option({QStringLiteral("o")}, QStringLiteral("OUT"), QStringLiteral("the file to write")),
          Cli::option({QStringLiteral("interval-s")}, QStringLiteral("S"), QStringLiteral("seconds per time bin")),
          Cli::option({QStringLiteral("unit")}, QStringLiteral("U"), QStringLiteral("the volume unit's name")),
          Cli::option({QStringLiteral("units-per-pulse")}, QStringLiteral("X"), QStringLiteral("volume of one pulse")),
          Cli::option({QStringLiteral("initial-reading")}, QStringLiteral("R"),
                      QStringLiteral("the meter's reading at the start")),
          Cli::option({QStringLiteral("end-reading")}, QStringLiteral("R"),
                      QStringLiteral("the meter's reading at the end")),
          from, to},
         logExport},
        {QStringLiteral("log-bins"),
         QStringLiteral("log-bins FILE.rlog --interval-ms M [--from ISO8601] [--to ISO8601]"),
         QStringLiteral("pulse sums per time bin, one per line"),
         {Cli::option({QStringLiteral("interval-ms")}, QStringLiteral("M"),
                      QStringLiteral("milliseconds per time bin")),
          from, to},
         logBins},
        {QStringLiteral("log-uses"),
         QStringLiteral("log-uses FILE.rlog [--json] [--csv OUT] [--from ISO8601] [--to ISO8601] [--unit U] "
                        "[--units-per-pulse X]"),
         QStringLiteral("where the water went: toilet, shower, faucet, appliances, bathtub, irrigation and leak uses"),
         {Cli::jsonOption(),
          Cli::option({QStringLiteral("csv")}, QStringLiteral("OUT"),
                      QStringLiteral("also write the uses, one a line")),
          from, to,
          Cli::option(
              {QStringLiteral("unit")}, QStringLiteral("U"),
              QStringLiteral("Gallons, CCF, CF, Cubic Meters or Liters (default: the readings', else Gallons)")),
          Cli::option({QStringLiteral("units-per-pulse")}, QStringLiteral("X"),
                      QStringLiteral("volume of one pulse in U (default: from the log's meter readings)"))},
         logUses},
    };
}
