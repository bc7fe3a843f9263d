#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>

class PulseLog;

// The export dialog's choices for the interval-based formats.
struct PulseLogExportParameters {
    uint32_t millisecondsPerBin = 0;
    QString unit;
    double unitsPerPulse = 1.0;
    double initialReading = 0.0;  // meter reading at the first entry of the log
    double endReading = 0.0;      // meter reading at the last entry of the log
    QDateTime rangeStart;         // an invalid date leaves that side open
    QDateTime rangeEnd;
};

// Writes a pulse log as CSV, MM100 text or an XLSX workbook. Every file goes through a
// temporary file beside the target, so a failed export never damages an existing file.
class PulseLogExporter
{
public:
    static bool exportMetaDataCsv(const PulseLog &log, const QString &filename);
    static bool exportPulsesCsv(const PulseLog &log, const QString &filename, const QDateTime &rangeStart,
                                const QDateTime &rangeEnd);
    static bool exportEnvironmentCsv(const PulseLog &log, const QString &filename, const QDateTime &rangeStart,
                                     const QDateTime &rangeEnd);
    static bool exportGroupedCsv(const PulseLog &log, const QString &filename, const PulseLogExportParameters &p);
    static bool exportMM100(const PulseLog &log, const QString &filename, const PulseLogExportParameters &p);
    static bool exportXLSX(const PulseLog &log, const QString &filename, const PulseLogExportParameters &p);

    // Meter readings interpolated to the start and end of the clamped range.
    struct Readings {
        double atStart;
        double atEnd;
    };
    static Readings interpolatedReadings(const PulseLog &log, const PulseLogExportParameters &p);
};
