#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <limits>

// One row of the library: what is known of one raw log's content. Times are milliseconds since
// 1970 UTC; NaN marks a figure the log does not give (no readings, no complete night).
struct LibraryRecord {
    QString sha256;  // lower-case hex of the raw file's bytes: the row's id on every machine
    QStringList paths;
    int64_t size = 0;
    QString serial;
    QString deviceName;
    QString jobName;
    QString uniqueId;
    int64_t sessionIndex = -1;  // -1: the metadata does not say
    bool hasPulses = false;     // first and last pulse are meaningful only then
    int64_t firstPulseMs = 0;
    int64_t lastPulseMs = 0;
    int64_t pulses = 0;
    QString unit;
    double readingStart = std::numeric_limits<double>::quiet_NaN();
    double readingEnd = std::numeric_limits<double>::quiet_NaN();
    double volume = std::numeric_limits<double>::quiet_NaN();  // in `unit`
    double nightMinimum = std::numeric_limits<double>::quiet_NaN();
    QString nightFlowUnit;
    double longestFlowHours = 0;
    bool leak = false;
    int analysisVersion = 0;
};
