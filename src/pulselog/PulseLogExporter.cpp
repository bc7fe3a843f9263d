#include "PulseLogExporter.h"

#include "common/NumericLocale.h"
#include "common/ScopedCNumericLocale.h"
#include "LocalTimeFormatter.h"
#include "PulseLog.h"
#include "PulseLogAnalysis.h"
#include "SafeFileWriter.h"

#include <QDebug>
#include <QFile>
#include <QLocale>
#include <QTextStream>

#include <xlsxwriter.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
using NanosI64 = TimeTypes::Epoch1970::NanosI64;
using Range = PulseLogAnalysis::Range;
constexpr NanosI64 kNanosPerMs = 1000000;

inline int64_t toMs(NanosI64 ns)
{
    return LocalTimeFormatter::floorDiv(ns, kNanosPerMs);
}

inline char *writeUnsigned(char *out, uint64_t v)
{
    char digits[20];
    int n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    while (n)
        *out++ = digits[--n];
    return out;
}

inline char *writeFixed(char *out, size_t room, double v, int decimals)
{
    return NumericLocale::writeFixed(out, room, v, decimals);
}

// "0.0" .. "1.0": milliseconds of a second, divided by 1000, with one decimal.
const std::array<std::array<char, 4>, 1000> &subsecondTable()
{
    static const auto table = [] {
        std::array<std::array<char, 4>, 1000> t{};
        for (int ms = 0; ms < 1000; ++ms)
            NumericLocale::writeFixed(t[size_t(ms)].data(), 3, ms / 1000.0, 1);
        return t;
    }();
    return table;
}

// Pulse rows: entries with a count inside the closed range, framed by zero rows at its ends
// unless an entry with pulses already sits there.
template <typename F> void forEachPulseRow(const PulseLog &log, const Range &range, F &&row)
{
    const auto &entries = log.entries();
    const size_t first = PulseLogAnalysis::lowerBound(entries, range.startNs);
    const size_t last = std::max(first, PulseLogAnalysis::upperBound(entries, range.endNs));
    bool atStart = false;
    bool atEnd = false;
    for (size_t i = first; i < last; ++i) {
        if (entries[i].count > 0 && entries[i].time == range.startNs)
            atStart = true;
        if (entries[i].count > 0 && entries[i].time == range.endNs)
            atEnd = true;
        if (entries[i].time > range.startNs)
            break;
    }
    for (size_t i = last; i > first; --i) {
        if (entries[i - 1].time < range.endNs)
            break;
        if (entries[i - 1].count > 0)
            atEnd = true;
    }
    if (!atStart)
        row(range.startNs, 0u);
    for (size_t i = first; i < last; ++i) {
        if (entries[i].count > 0)
            row(entries[i].time, entries[i].count);
    }
    if (!atEnd)
        row(range.endNs, 0u);
}

template <typename F> void forEachEnvironmentRow(const PulseLog &log, const Range &range, F &&row)
{
    log.visitEnvironmentReadings(range.startNs, range.endNs,
                                 [&](NanosI64 time, const PulseLogTypes::EnvironmentReading &r) {
                                     if (r.voltage <= 0.01f && r.temperature < -49.99f)
                                         return;  // a block without readings
                                     row(time, r);
                                 });
}

QByteArray local8(const QString &s)
{
    return s.toLocal8Bit();
}

QString csvQuoted(const QString &s)
{
    QString doubled = s;
    doubled.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + doubled + QLatin1Char('"');
}

QString singleQuoted(QString s)
{
    return s.replace(QLatin1Char('"'), QLatin1Char('\''));
}

// The stream's default real number form (6 significant digits), with a decimal point.
QString defaultNumberForm(double v)
{
    QString text;
    QTextStream stream(&text);
    stream.setLocale(QLocale::c());
    stream << v;
    stream.flush();
    return text;
}

// A meter reading as a whole, non-negative number (negative or undefined readings become 0).
uint64_t roundedReading(double v)
{
    if (!(v > 0))
        return 0;
    if (v >= 1.8e19)
        return UINT64_MAX;
    return uint64_t(std::llround(v > 9.2e18 ? 9.2e18 : v));
}

bool binsFor(const PulseLog &log, const PulseLogExportParameters &p, Range *range, std::vector<double> *bins)
{
    *range = PulseLogAnalysis::clampRange(log.entries(), p.rangeStart, p.rangeEnd);
    return PulseLogAnalysis::binSums(log.entries(), *range, p.millisecondsPerBin, bins);
}

NanosI64 binStart(const Range &range, uint32_t millisecondsPerBin, size_t index)
{
    const NanosI64 w = NanosI64(millisecondsPerBin) * kNanosPerMs;
    return (LocalTimeFormatter::floorDiv(range.startNs, w) + int64_t(index)) * w;
}

// libxlsxwriter does not report every failed write of the archive (a full disk leaves a cut
// file behind). A zip is complete when it ends in its end-of-central-directory record and the
// central directory sits right before it.
bool zipLooksComplete(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() < 22 || !file.seek(file.size() - 22))
        return false;
    const QByteArray end = file.read(22);
    if (end.size() != 22)
        return false;
    auto u32 = [&](int at) {
        return uint32_t(uint8_t(end[at])) | uint32_t(uint8_t(end[at + 1])) << 8 | uint32_t(uint8_t(end[at + 2])) << 16 |
               uint32_t(uint8_t(end[at + 3])) << 24;
    };
    const bool commentless = end[20] == 0 && end[21] == 0;
    return u32(0) == 0x06054b50u && commentless && qint64(u32(12)) + qint64(u32(16)) + 22 == file.size();
}

// Fields the MM100 Note leaves out: every fixed field except the logger's own three.
const QStringList &mm100ReservedKeys()
{
    static const QStringList keys = PulseLog::fixedFieldNames().mid(3);
    return keys;
}

// The MM100 Note: the notes, then every other field with a value as {'key':'value',...}.
// False when there is neither.
bool mm100Note(const QVariantMap &meta, QString *note)
{
    const QString notes = meta.value(QStringLiteral("Notes")).toString();
    if (!notes.isEmpty())
        *note += singleQuoted(notes);
    bool firstExtra = true;
    for (auto it = meta.constBegin(); it != meta.constEnd(); ++it) {
        const QString value = it.value().toString();
        if (mm100ReservedKeys().contains(it.key()) || value.isEmpty())
            continue;
        *note += firstExtra ? QStringLiteral(" {") : QStringLiteral(",");
        *note += QStringLiteral("'%1':'%2'").arg(singleQuoted(it.key()), singleQuoted(value));
        firstExtra = false;
    }
    if (!firstExtra)
        *note += QLatin1Char('}');
    return !(notes.isEmpty() && firstExtra);
}
}  // namespace

PulseLogExporter::Readings PulseLogExporter::interpolatedReadings(const PulseLog &log,
                                                                  const PulseLogExportParameters &p)
{
    const auto &entries = log.entries();
    if (entries.empty() || entries.back().time == entries.front().time)
        return {p.initialReading, p.endReading};
    const Range range = PulseLogAnalysis::clampRange(entries, p.rangeStart, p.rangeEnd);
    const double first = double(entries.front().time);
    const double duration = double(entries.back().time) - first;
    const double change = p.endReading - p.initialReading;
    const double atStart = p.initialReading + change * (double(range.startNs) - first) / duration;
    const double atEnd = atStart + change * (double(range.endNs) - double(range.startNs)) / duration;
    return {atStart, atEnd};
}

bool PulseLogExporter::exportMetaDataCsv(const PulseLog &log, const QString &filename)
{
    SafeFileWriter out(filename);
    if (!out.open())
        return false;
    const QVariantMap meta = log.metaData();
    const QStringList fixed = PulseLog::fixedFieldNames();
    out.appendLiteral("Name,Value\r\n");
    auto line = [&](const QString &name, const QString &value) {
        out.append(local8(csvQuoted(name) + QLatin1Char(',') + csvQuoted(value)));
        out.appendLiteral("\r\n");
    };
    for (const QString &name : fixed)
        line(name, meta.value(name).toString());
    for (auto it = meta.constBegin(); it != meta.constEnd(); ++it) {
        if (!fixed.contains(it.key()))
            line(it.key(), it.value().toString());
    }
    return out.commit();
}

bool PulseLogExporter::exportPulsesCsv(const PulseLog &log, const QString &filename, const QDateTime &rangeStart,
                                       const QDateTime &rangeEnd)
{
    SafeFileWriter out(filename);
    if (!out.open())
        return false;
    const Range range = PulseLogAnalysis::clampRange(log.entries(), rangeStart, rangeEnd);
    const auto &subseconds = subsecondTable();
    LocalTimeFormatter time;
    out.appendLiteral("Date,Time,Subseconds,Revolutions\r\n");
    forEachPulseRow(log, range, [&](NanosI64 t, uint32_t count) {
        const int64_t ms = toMs(t);
        char *p = out.reserve(64);
        char *const begin = p;
        p = time.writeIsoDate(p, ms);
        *p++ = ',';
        p = time.writeIsoTime(p, ms);
        *p++ = ',';
        const auto &sub = subseconds[size_t(LocalTimeFormatter::floorMod(ms, 1000))];
        std::memcpy(p, sub.data(), 3);
        p += 3;
        *p++ = ',';
        p = writeUnsigned(p, count);
        *p++ = '\r';
        *p++ = '\n';
        out.advance(size_t(p - begin));
    });
    return out.commit();
}

bool PulseLogExporter::exportEnvironmentCsv(const PulseLog &log, const QString &filename, const QDateTime &rangeStart,
                                            const QDateTime &rangeEnd)
{
    SafeFileWriter out(filename);
    if (!out.open())
        return false;
    const Range range = PulseLogAnalysis::clampRange(log.entries(), rangeStart, rangeEnd);
    LocalTimeFormatter time;
    out.appendLiteral("Date,Time,Input Voltage,Temperature \xC2\xB0"
                      "C\r\n");
    forEachEnvironmentRow(log, range, [&](NanosI64 t, const PulseLogTypes::EnvironmentReading &r) {
        const int64_t ms = toMs(t);
        constexpr size_t kRoom = 160;
        char *p = out.reserve(kRoom);
        char *const begin = p;
        p = time.writeIsoDate(p, ms);
        *p++ = ',';
        p = time.writeIsoTime(p, ms);
        *p++ = ',';
        p = writeFixed(p, kRoom - size_t(p - begin) - 8, double(r.voltage), 6);
        *p++ = ',';
        p = writeFixed(p, kRoom - size_t(p - begin) - 4, double(r.temperature), 6);
        *p++ = '\r';
        *p++ = '\n';
        out.advance(size_t(p - begin));
    });
    return out.commit();
}

bool PulseLogExporter::exportGroupedCsv(const PulseLog &log, const QString &filename,
                                        const PulseLogExportParameters &params)
{
    Range range;
    std::vector<double> bins;
    if (!binsFor(log, params, &range, &bins)) {
        qWarning() << "Nothing to export to" << filename << "(empty log or no interval)";
        return false;
    }
    SafeFileWriter out(filename);
    if (!out.open())
        return false;
    LocalTimeFormatter time;
    out.appendLiteral("Date,Time,Revolutions,");
    out.append(local8(params.unit));
    out.appendLiteral("\r\n");
    for (size_t i = 0; i < bins.size(); ++i) {
        const int64_t ms = toMs(binStart(range, params.millisecondsPerBin, i));
        constexpr size_t kRoom = 700;
        char *p = out.reserve(kRoom);
        char *const begin = p;
        p = time.writeIsoDate(p, ms);
        *p++ = ',';
        p = time.writeIsoTime(p, ms);
        *p++ = ',';
        p = writeFixed(p, 330, bins[i], 0);
        *p++ = ',';
        p = writeFixed(p, 330, bins[i] * params.unitsPerPulse, 6);
        *p++ = '\r';
        *p++ = '\n';
        out.advance(size_t(p - begin));
    }
    return out.commit();
}

bool PulseLogExporter::exportMM100(const PulseLog &log, const QString &filename, const PulseLogExportParameters &params)
{
    if (params.millisecondsPerBin == 0) {
        qWarning() << "Nothing to export to" << filename << "(no interval)";
        return false;
    }
    Range range;
    std::vector<double> bins;
    if (!binsFor(log, params, &range, &bins) && !log.entries().empty())
        return false;  // too many bins, already logged

    SafeFileWriter out(filename);
    if (!out.open())
        return false;
    const QVariantMap meta = log.metaData();
    auto text = [&](const QString &s) { out.append(local8(s)); };
    auto metaLine = [&](const char *label, const char *key) {
        out.append(label, std::strlen(label));
        out.append(',');
        const QString value = meta.value(QLatin1String(key)).toString();
        if (!value.isEmpty())
            text(QLatin1Char('"') + singleQuoted(value) + QLatin1Char('"'));
        out.appendLiteral("\r\n");
    };

    out.appendLiteral("MM100 Data Export,V4.5.0.174\r\n");
    out.appendLiteral(",\r\n");
    metaLine("CustomerID", "Customer ID");
    metaLine("CustomerName", "Customer Name");
    metaLine("Address", "Customer Address");
    metaLine("City", "Customer City");
    metaLine("State", "Customer State");
    metaLine("PostalCode", "Customer Postal Code");
    metaLine("PhoneNumber", "Customer Phone Number");

    QString note;
    if (mm100Note(meta, &note))
        text(QStringLiteral("Note,\"") + note + QStringLiteral("\"\r\n"));
    else
        out.appendLiteral("Note,\r\n");

    out.appendLiteral(",\r\n");
    metaLine("Make", "Meter Make");
    metaLine("Model", "Meter Model");
    metaLine("Size", "Meter Size");
    text(QStringLiteral("Unit,") + params.unit + QStringLiteral("\r\n"));
    text(QStringLiteral("StorageInterval,%1\r\n").arg(params.millisecondsPerBin / 1000));
    text(QStringLiteral("NumberOfIntervals,%1\r\n").arg(bins.size()));
    out.appendLiteral("TotalTime,\r\n");
    const Readings readings = interpolatedReadings(log, params);
    const uint64_t begin = roundedReading(readings.atStart);
    const uint64_t end = roundedReading(readings.atEnd);
    text(QStringLiteral("BeginReading,\"%1\"\r\n").arg(begin));
    text(QStringLiteral("EndReading,\"%1\"\r\n").arg(end));
    text(QStringLiteral("RegVolume,%1\r\n").arg(qint64(end - begin)));
    double total = 0;
    for (double b : bins)
        total += b;
    text(QStringLiteral("MMVolume,") + defaultNumberForm(total * params.unitsPerPulse) + QStringLiteral("\r\n"));
    out.appendLiteral("ConvFactor,1\r\n");
    out.appendLiteral(",\r\n");
    out.appendLiteral("DateTimeStamp,RateData\r\n");

    LocalTimeFormatter time;
    const double perMinute = 60000.0 / double(params.millisecondsPerBin);
    for (size_t i = 0; i < bins.size(); ++i) {
        const int64_t ms = toMs(binStart(range, params.millisecondsPerBin, i));
        constexpr size_t kRoom = 400;
        char *p = out.reserve(kRoom);
        char *const start = p;
        p = time.writeUsDateTime(p, ms);
        *p++ = ',';
        p = writeFixed(p, 340, bins[i] * perMinute * params.unitsPerPulse, 5);
        *p++ = '\r';
        *p++ = '\n';
        out.advance(size_t(p - start));
    }
    return out.commit();
}

namespace {
// Collects the first libxlsxwriter error; later calls become no-ops.
class XlsxSheetWriter
{
public:
    explicit XlsxSheetWriter(lxw_error *error) : m_error(error) {}

    bool check(lxw_error e)
    {
        if (e != LXW_NO_ERROR && *m_error == LXW_NO_ERROR)
            *m_error = e;
        return *m_error == LXW_NO_ERROR;
    }
    lxw_worksheet *sheet = nullptr;

    void header(lxw_format *bold, std::initializer_list<const char *> names)
    {
        lxw_col_t col = 0;
        for (const char *name : names)
            check(worksheet_write_string(sheet, 0, col++, name, bold));
        worksheet_freeze_panes(sheet, 1, 0);
    }
    void string(lxw_row_t row, lxw_col_t col, const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        check(worksheet_write_string(sheet, row, col, utf8.constData(), nullptr));
    }
    void number(lxw_row_t row, lxw_col_t col, double v) { check(worksheet_write_number(sheet, row, col, v, nullptr)); }
    void date(lxw_row_t row, lxw_col_t col, LocalTimeFormatter &time, NanosI64 t)
    {
        const LocalTimeFormatter::Civil c = time.civil(toMs(t));
        lxw_datetime dt{c.year, c.month, c.day, c.hour, c.minute, c.second + c.millisecond / 1000.0};
        check(worksheet_write_datetime(sheet, row, col, &dt, nullptr));
    }
    bool ok() const { return *m_error == LXW_NO_ERROR; }

private:
    lxw_error *m_error;
};

// The workbook's cell formats.
struct XlsxFormats {
    lxw_format *bold;
    lxw_format *tenths;   // date and time to a tenth of a second
    lxw_format *seconds;  // date and time to the second
};

// One function per sheet, each writing into the sheet the writer has current.
void writeMetaDataSheet(XlsxSheetWriter &w, const XlsxFormats &formats, const PulseLog &log,
                        const PulseLogExportParameters &params, const PulseLogExporter::Readings &readings)
{
    w.check(worksheet_set_column(w.sheet, 0, 0, 24, nullptr));
    w.check(worksheet_set_column(w.sheet, 1, 1, 48, nullptr));
    w.header(formats.bold, {"Name", "Value"});
    const QVariantMap meta = log.metaData();
    const QStringList fixed = PulseLog::fixedFieldNames();
    lxw_row_t row = 1;
    for (const QString &name : fixed) {
        w.string(row, 0, name);
        if (name == QLatin1String("Meter Reading Unit"))
            w.string(row, 1, params.unit);
        else if (name == QLatin1String("Meter Reading Start"))
            w.number(row, 1, std::round(readings.atStart));
        else if (name == QLatin1String("Meter Reading End"))
            w.number(row, 1, std::round(readings.atEnd));
        else
            w.string(row, 1, meta.value(name).toString());
        ++row;
    }
    for (auto it = meta.constBegin(); it != meta.constEnd(); ++it) {
        if (fixed.contains(it.key()))
            continue;
        w.string(row, 0, it.key());
        w.string(row, 1, it.value().toString());
        ++row;
    }
}

void writeGroupedSheet(XlsxSheetWriter &w, const XlsxFormats &formats, LocalTimeFormatter &time,
                       const PulseLogExportParameters &params, const Range &range, const std::vector<double> &bins)
{
    const QByteArray rate = QStringLiteral("Rate (%1 / Min)").arg(params.unit).toUtf8();
    const QByteArray volume = QStringLiteral("Volume (%1)").arg(params.unit).toUtf8();
    w.check(worksheet_set_column(w.sheet, 0, 0, 20, formats.seconds));
    w.check(worksheet_set_column(w.sheet, 1, 1, 14, nullptr));
    w.check(worksheet_set_column(w.sheet, 2, 3, 22, nullptr));
    w.header(formats.bold, {"Date Time", "Revolutions", rate.constData(), volume.constData()});
    const double perMinute = 60000.0 / double(params.millisecondsPerBin);
    for (size_t i = 0; i < bins.size() && w.ok(); ++i) {
        const lxw_row_t row = lxw_row_t(i + 1);
        w.date(row, 0, time, binStart(range, params.millisecondsPerBin, i));
        w.number(row, 1, bins[i]);
        w.number(row, 2, bins[i] * perMinute * params.unitsPerPulse);
        w.number(row, 3, bins[i] * params.unitsPerPulse);
    }
}

void writeRawSheet(XlsxSheetWriter &w, const XlsxFormats &formats, LocalTimeFormatter &time, const PulseLog &log,
                   const Range &range)
{
    w.check(worksheet_set_column(w.sheet, 0, 0, 24, formats.tenths));
    w.check(worksheet_set_column(w.sheet, 1, 1, 10, nullptr));
    w.header(formats.bold, {"Date Time", "Revolutions"});
    lxw_row_t row = 1;
    forEachPulseRow(log, range, [&](NanosI64 t, uint32_t count) {
        if (!w.ok())
            return;
        w.date(row, 0, time, t);
        w.number(row, 1, double(count));
        ++row;
    });
}

void writeEnvironmentSheet(XlsxSheetWriter &w, const XlsxFormats &formats, LocalTimeFormatter &time,
                           const PulseLog &log, const Range &range)
{
    w.check(worksheet_set_column(w.sheet, 0, 0, 20, formats.seconds));
    w.check(worksheet_set_column(w.sheet, 1, 2, 14, nullptr));
    w.header(formats.bold, {"Date Time",
                            "Temperature \xC2\xB0"
                            "C",
                            "Input Voltage"});
    lxw_row_t row = 1;
    forEachEnvironmentRow(log, range, [&](NanosI64 t, const PulseLogTypes::EnvironmentReading &r) {
        if (!w.ok())
            return;
        w.date(row, 0, time, t);
        w.number(row, 1, double(r.temperature));
        w.number(row, 2, double(r.voltage));
        ++row;
    });
}

}  // namespace

bool PulseLogExporter::exportXLSX(const PulseLog &log, const QString &filename, const PulseLogExportParameters &params)
{
    SafeFileWriter::makeParentPath(filename);
    if (params.millisecondsPerBin == 0) {
        qWarning() << "Nothing to export to" << filename << "(no interval)";
        return false;
    }
    Range range;
    std::vector<double> bins;
    if (!binsFor(log, params, &range, &bins) && !log.entries().empty())
        return false;  // too many bins, already logged

    // libxlsxwriter formats every number with printf ("%.16G"): a decimal comma from the
    // user's locale would make the workbook unreadable.
    const ScopedCNumericLocale cNumbers;
    QString temporary;
    if (!SafeFileWriter::createTemporaryBeside(filename, &temporary)) {
        qWarning() << "Failed to open" << filename << "for output";
        return false;
    }
    const QByteArray temporaryName = temporary.toUtf8();
    // Rows go straight to temporary files, so memory stays flat however long the log is.
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook *workbook = workbook_new_opt(temporaryName.constData(), &options);
    if (!workbook) {
        qWarning() << "XLSX error " << int(LXW_ERROR_MEMORY_MALLOC_FAILED);
        QFile::remove(temporary);
        return false;
    }

    lxw_error error = LXW_NO_ERROR;
    XlsxSheetWriter w(&error);
    std::vector<lxw_worksheet *> sheets;
    const XlsxFormats formats{workbook_add_format(workbook), workbook_add_format(workbook),
                              workbook_add_format(workbook)};
    format_set_bold(formats.bold);
    format_set_num_format(formats.tenths, "yyyy-mm-dd hh:mm:ss.0");
    format_set_num_format(formats.seconds, "yyyy-mm-dd hh:mm:ss");
    LocalTimeFormatter time;
    const Readings readings = interpolatedReadings(log, params);
    // Makes the named sheet current; the writer turns not-ok when it cannot be added.
    auto openSheet = [&](const char *name) {
        if (!w.ok())
            return;
        w.sheet = workbook_add_worksheet(workbook, name);
        sheets.push_back(w.sheet);
        if (!w.sheet)
            w.check(LXW_ERROR_MEMORY_MALLOC_FAILED);
    };

    openSheet("MetaData");
    if (w.ok())
        writeMetaDataSheet(w, formats, log, params, readings);
    openSheet("Grouped Intervals");
    if (w.ok())
        writeGroupedSheet(w, formats, time, params, range, bins);
    openSheet("Raw Revolution Data");
    if (w.ok())
        writeRawSheet(w, formats, time, log, range);
    openSheet("Environment Data");
    if (w.ok())
        writeEnvironmentSheet(w, formats, time, log, range);

    // In constant-memory mode rows are written to temporary files whose write errors
    // libxlsxwriter does not check; a full disk there would silently drop rows.
    for (lxw_worksheet *sheet : sheets) {
        if (sheet && sheet->optimize_tmpfile &&
            (std::fflush(sheet->optimize_tmpfile) != 0 || std::ferror(sheet->optimize_tmpfile)))
            w.check(LXW_ERROR_CREATING_TMPFILE);
    }
    const lxw_error closed = workbook_close(workbook);
    if (error == LXW_NO_ERROR)
        error = closed;
    if (error == LXW_NO_ERROR && !zipLooksComplete(temporary))
        error = LXW_ERROR_CREATING_XLSX_FILE;
    if (error != LXW_NO_ERROR) {
        qWarning().nospace() << "XLSX error " << int(error);
        if (error == LXW_ERROR_WORKSHEET_INDEX_OUT_OF_RANGE)
            qWarning() << "The export range holds more rows than a worksheet can take; choose a shorter range";
        QFile::remove(temporary);
        return false;
    }
    if (!SafeFileWriter::replaceTarget(temporary, filename)) {
        qWarning() << "Failed to open" << filename << "for output";
        return false;
    }
    return true;
}
