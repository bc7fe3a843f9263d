#pragma once

// How the support bundle reports failure: write() returns false with a one-line reason in
// *error; the target file is then left as it was (never half written). A log that exists but
// cannot be read is no failure: the summary names it under "unreadable" with the reason.

#include "serial/SerialTrafficRing.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <deque>

class QFile;
class TarrowindFirmware;

// Everything a technician sends us when something goes wrong, in one zip: the run log, the
// adapter-repair log, the settings, the serial ports, the connected logger's identity and
// statistics, and the recent serial traffic. The program and the command-line tool gather the
// parts the same way (gather*), then write() does all of the file work, so the program runs it
// off the user interface thread.
class SupportBundle
{
public:
    // Names of the entries in the zip.
    static const char *const kRunLogEntry;     // "runlog.txt"
    static const char *const kRepairLogEntry;  // "ftdi-fix.txt"
    static const char *const kSettingsEntry;   // "settings.json"
    static const char *const kPortsEntry;      // "ports.json"
    static const char *const kLoggerEntry;     // "logger.json"
    static const char *const kTrafficEntry;    // "serial-traffic.txt"
    static const char *const kSummaryEntry;    // "bundle.json"

    // A bundle has to travel by mail: each log keeps only its newest part.
    static constexpr qint64 kLogCapBytes = 4 * 1024 * 1024;

    // Plain data, cheap to copy into a worker thread.
    struct Contents {
        QString runLogPath;
        QString repairLogPath;
        QByteArray settingsJson;  // empty when there are no stored settings
        QVariantMap ports;        // port name -> map, as the user interface sees them
        QVariantMap logger;       // empty when no logger is connected
        std::deque<SerialTrafficRing::Chunk> traffic;
        QString programVersion;
        int64_t createdNs = 0;
    };

    // The application data folder's two log files, the process's traffic ring, the version
    // and the time. Settings, ports and logger are the caller's.
    static Contents gatherCommon(const QString &applicationDataFolder);
    // Identity, clock and statistics of a Ready firmware client; empty otherwise.
    static QVariantMap loggerSnapshot(const TarrowindFirmware *firmware);

    // The whole of an open file when it is no longer than `cap`; otherwise its last `cap` bytes
    // from the first whole line on, after a first line that says how much was cut.
    static QByteArray logTail(QFile &file, qint64 cap);

    // Writes the zip to `path` atomically (a temporary file renamed over it). Reads the log
    // files here, so call it where blocking is allowed.
    static bool write(const QString &path, const Contents &contents, QString *error);
};
