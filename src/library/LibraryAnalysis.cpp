#include "LibraryAnalysis.h"

#include "pulselog/NightFlowAnalysis.h"
#include "pulselog/NightFlowDisplay.h"
#include "pulselog/PulseLog.h"
#include "pulselog/RawLogFile.h"

#include <QBuffer>
#include <QCryptographicHash>

#include <algorithm>
#include <cmath>

namespace {
bool number(const QVariantMap &meta, const char *key, double *value)
{
    bool ok = false;
    const double v = meta.value(QLatin1String(key)).toString().trimmed().toDouble(&ok);
    if (ok && std::isfinite(v))
        *value = v;
    return ok && std::isfinite(v);
}

// The longest run of complete hours none of which was without pulses.
double longestFlowHours(const NightFlowAnalysis::Result &r)
{
    NightFlowAnalysis::NanosI64 longest = 0;
    const NightFlowAnalysis::Hour *runStart = nullptr;
    for (size_t i = 0; i < r.hours.size(); ++i) {
        const auto &h = r.hours[i];
        if (h.pulses == 0) {
            runStart = nullptr;
            continue;
        }
        // complete hours are listed in order; a gap between two of them breaks the run
        if (!runStart || h.start != r.hours[i - 1].end)
            runStart = &h;
        longest = std::max(longest, h.end - runStart->start);
    }
    return double(longest) / double(NightFlowAnalysis::kHourNs);
}

void fillNightFlow(const PulseLog &log, LibraryRecord *record)
{
    const NightFlowDisplay display(log);
    record->nightFlowUnit = display.unit;
    const NightFlowAnalysis::Result r = NightFlowAnalysis::analyse(log.entries());
    if (r.tooLong)
        return;
    if (!r.nights.empty()) {
        uint64_t minimum = r.nights.front().minimumPulses;
        for (const auto &n : r.nights)
            minimum = std::min(minimum, n.minimumPulses);
        record->nightMinimum = display.value(minimum);
    }
    record->leak = !r.leaks.empty();
    record->longestFlowHours = longestFlowHours(r);
}
}  // namespace

QString LibraryAnalysis::sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

bool LibraryAnalysis::analyse(const QByteArray &bytes, LibraryRecord *record, QString *error)
{
    QByteArray copy(bytes);  // QBuffer wants a non-const array; the copy shares the data
    QBuffer in(&copy);
    in.open(QIODevice::ReadOnly);
    PulseLog log;
    const RawLogFile::ReadResult read =
        RawLogFile::read(in, [&log](const QByteArray &chunk) { log.appendRawDataNoSignal(chunk); });
    if (read.chunkCount == 0) {
        *error = QStringLiteral("no raw log records");
        return false;
    }
    if (read.discardedTailBytes > 0) {
        *error = QStringLiteral("ends in a partial record of %1 bytes").arg(read.discardedTailBytes);
        return false;
    }
    if (read.damagedMetaDataItems > 0) {
        *error = QStringLiteral("damaged metadata");
        return false;
    }
    const QVariantMap meta = read.hasMetaData ? read.metaData : QVariantMap();
    log.setMetaData(meta);

    LibraryRecord r;
    r.sha256 = sha256Hex(bytes);
    r.size = bytes.size();
    r.serial = meta.value(QStringLiteral("Logger Serial")).toString();
    r.deviceName = meta.value(QStringLiteral("Logger Device Name")).toString();
    r.jobName = meta.value(QStringLiteral("Logger Job Name")).toString();
    r.uniqueId = meta.value(QStringLiteral("Logger Unique ID")).toString();
    bool ok = false;
    const qlonglong index = meta.value(QStringLiteral("Logger Session Index")).toString().toLongLong(&ok);
    r.sessionIndex = ok && index >= 0 ? index : -1;
    const auto &entries = log.entries();
    r.hasPulses = !entries.empty();
    if (r.hasPulses) {
        r.firstPulseMs = entries.front().time / 1000000;
        r.lastPulseMs = entries.back().time / 1000000;
    }
    r.pulses = log.totalPulseCount();
    r.unit = meta.value(QStringLiteral("Meter Reading Unit")).toString();
    if (number(meta, "Meter Reading Start", &r.readingStart) && number(meta, "Meter Reading End", &r.readingEnd))
        r.volume = r.readingEnd - r.readingStart;
    fillNightFlow(log, &r);
    r.analysisVersion = kVersion;
    *record = r;
    return true;
}
