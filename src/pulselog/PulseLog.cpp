#include "PulseLog.h"

#include "NightFlowAnalysis.h"
#include "PulseBlockDecoder.h"
#include "PulseLogAnalysis.h"
#include "PulseLogExporter.h"
#include "RawLogFile.h"
#include "SafeFileWriter.h"

#include <QDebug>
#include <QFile>

#include <cmath>
#ifdef __linux__
#include <sys/mman.h>
#endif
#include <cstring>
#include <limits>
#include <new>

namespace {
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr qint64 kMaxRawFileSize = qint64(1) << 30;
// Damaged headers can promise far more entries than a file holds; what is reserved beyond this
// grows as it comes.
constexpr size_t kMaxReservedEntries = size_t(1) << 26;

// Millions of entries fault in a page at a time otherwise; in 2 MB pages they cost little more
// than the zeroing.
void adviseLargePages(void *data, size_t bytes)
{
#ifdef __linux__
    constexpr uintptr_t kLarge = uintptr_t(2) << 20;
    const uintptr_t from = (reinterpret_cast<uintptr_t>(data) + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kLarge - 1);
    if (to > from)
        madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

bool validVoltage(float v)
{
    return !std::isnan(v) && v >= 0.01f;
}

bool validTemperature(float t)
{
    return !std::isnan(t) && t >= -49.99f;
}

// Keeps the extreme at the valid side: an unset or invalid extreme takes any valid value (or
// becomes NaN), a valid one only yields to a valid value further out.
void updateExtreme(float &extreme, float value, bool (*valid)(float), bool wantSmaller)
{
    if (std::isnan(extreme) || !valid(extreme)) {
        extreme = valid(value) ? value : kNaN;
        return;
    }
    if (valid(value) && (wantSmaller ? value < extreme : value > extreme))
        extreme = value;
}
}  // namespace

PulseLog::PulseLog(QObject *parent)
    : QObject(parent), m_minimumVoltage(kNaN), m_maximumVoltage(kNaN), m_minimumTemperature(kNaN),
      m_maximumTemperature(kNaN)
{
}

PulseLog::~PulseLog() = default;

QStringList PulseLog::fixedFieldNames()
{
    static const QStringList names = {
        QStringLiteral("Logger Serial"),
        QStringLiteral("Logger Device Name"),
        QStringLiteral("Logger Job Name"),
        QStringLiteral("Meter Make"),
        QStringLiteral("Meter Model"),
        QStringLiteral("Meter Size"),
        QStringLiteral("Meter Reading Unit"),
        QStringLiteral("Meter Reading Start"),
        QStringLiteral("Meter Reading End"),
        QStringLiteral("Customer ID"),
        QStringLiteral("Customer Name"),
        QStringLiteral("Customer Address"),
        QStringLiteral("Customer City"),
        QStringLiteral("Customer State"),
        QStringLiteral("Customer Postal Code"),
        QStringLiteral("Customer Phone Number"),
        QStringLiteral("Notes"),
    };
    return names;
}

void PulseLog::setMetaData(QVariantMap metaData)
{
    if (!m_metaData.isSharedWith(metaData))
        m_metaData = metaData;
    emit metaDataChanged();
}

void PulseLog::appendRawData(QByteArray logChunk)
{
    appendRawDataNoSignal(logChunk);
    emit pulseLogChanged();
}

void PulseLog::appendRawDataNoSignal(QByteArray logChunk)
{
    decodeChunk(logChunk.constData(), size_t(logChunk.size()));
    m_raw.append(logChunk);
}

void PulseLog::decodeChunk(const char *data, size_t size)
{
    PulseBlock block;
    size_t streamStart = 0;
    if (PulseBlockDecoder::decodeHeader(data, size, block, &streamStart) != PulseBlockDecoder::Result::Decoded)
        return;
    ++m_entriesGeneration;
    insertPulses(block.baseTime, 0);
    addEnvironmentReadingNoSignal(block.environmentTime, block.environment);
    // The outputs gather in a buffer on the stack and join the entries in bulk, so that the
    // decoding loop keeps its state in registers instead of the vector's.
    constexpr size_t kBuffered = 1024;
    alignas(TimestampedEntry) unsigned char storage[kBuffered * sizeof(TimestampedEntry)];
    auto *const first = reinterpret_cast<TimestampedEntry *>(storage);
    TimestampedEntry *next = first;
    PulseBlockDecoder::decodeStream(data, size, streamStart, block, [&](NanosI64 time, uint32_t count) {
        if (next == first + kBuffered) {
            appendDecoded(first, kBuffered);
            next = first;
        }
        new (next++) TimestampedEntry{time, count};
    });
    appendDecoded(first, size_t(next - first));
}

void PulseLog::appendDecoded(const TimestampedEntry *outputs, size_t count)
{
    if (count == 0)
        return;
    // Outputs are in strictly rising time order: only the first can meet the last entry.
    if (!m_entries.empty() && m_entries.back().time >= outputs[0].time) {
        if (m_entries.back().time > outputs[0].time) {
            for (size_t i = 0; i < count; ++i)
                insertPulses(outputs[i].time, outputs[i].count);
            return;
        }
        m_totalPulseCount += outputs[0].count;
        m_entries.back().count += outputs[0].count;
        ++outputs;
        --count;
    }
    for (size_t i = 0; i < count; ++i)
        m_totalPulseCount += outputs[i].count;
    if (m_entries.capacity() - m_entries.size() < count)
        reserveEntries(std::max(m_entries.size() + count, 2 * m_entries.capacity()));
    m_entries.insert(m_entries.end(), outputs, outputs + count);
}

void PulseLog::reserveEntries(size_t capacity)
{
    // The advice must come before the entries are copied over, or their pages are already in.
    Entries grown;
    grown.reserve(capacity);
    adviseLargePages(grown.data(), grown.capacity() * sizeof(TimestampedEntry));
    grown.insert(grown.end(), m_entries.begin(), m_entries.end());
    m_entries.swap(grown);
}

void PulseLog::addPulses(TimeTypes::Epoch1970::NanosI64 timestamp, uint32_t count)
{
    addPulsesNoSignal(timestamp, count);
    emit pulseLogChanged();
}

void PulseLog::addPulsesNoSignal(TimeTypes::Epoch1970::NanosI64 timestamp, uint32_t count)
{
    ++m_entriesGeneration;
    insertPulses(timestamp, count);
}

void PulseLog::insertEarlierPulses(NanosI64 time, uint32_t count)
{
    const auto it = m_entries.begin() + std::ptrdiff_t(PulseLogAnalysis::lowerBound(m_entries, time));
    if (it->time == time)
        it->count += count;
    else
        m_entries.insert(it, {time, count});
}

void PulseLog::addEnvironmentReading(TimeTypes::Epoch1970::NanosI64 timestamp,
                                     PulseLogTypes::EnvironmentReading enviroReading)
{
    addEnvironmentReadingNoSignal(timestamp, enviroReading);
    emit pulseLogChanged();
}

void PulseLog::addEnvironmentReadingNoSignal(TimeTypes::Epoch1970::NanosI64 timestamp,
                                             PulseLogTypes::EnvironmentReading enviroReading)
{
    m_readings.emplace_hint(m_readings.end(), timestamp, enviroReading);
    updateExtremes(enviroReading);
}

void PulseLog::updateExtremes(const EnvironmentReading &reading)
{
    updateExtreme(m_minimumVoltage, reading.voltage, validVoltage, true);
    updateExtreme(m_maximumVoltage, reading.voltage, validVoltage, false);
    updateExtreme(m_minimumTemperature, reading.temperature, validTemperature, true);
    updateExtreme(m_maximumTemperature, reading.temperature, validTemperature, false);
}

void PulseLog::resetModel()
{
    m_entries.clear();
    m_entries.shrink_to_fit();
    ++m_entriesGeneration;
    m_readings.clear();
    m_raw.clear();
    m_totalPulseCount = 0;
    m_minimumVoltage = m_maximumVoltage = kNaN;
    m_minimumTemperature = m_maximumTemperature = kNaN;
}

void PulseLog::clear()
{
    resetModel();
}

bool PulseLog::saveRaw(QString filename)
{
    SafeFileWriter out(filename);
    if (!out.open())
        return false;
    out.append(m_raw);
    out.append(RawLogFile::metaDataItem(m_metaData));
    return out.commit();
}

bool PulseLog::load(QString rlogFile)
{
    resetModel();
    QFile file(rlogFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Failed to open" << rlogFile << "for raw input" << file.errorString();
        return false;
    }
    // The raw bytes live in one QByteArray; a flash holds far less than this.
    if (file.size() > kMaxRawFileSize) {
        qWarning() << "Raw log" << rlogFile << "is too large to load:" << file.size() << "bytes";
        return false;
    }
    // The file's bytes become the raw bytes: the chunks are moved down over the metadata items
    // between them, so a log is read once and never copied.
    QByteArray bytes = file.readAll();
    char *const base = bytes.data();
    qint64 kept = 0;
    const RawLogFile::ReadResult result = RawLogFile::parse(base, bytes.size(), [&](qint64 offset) {
        if (offset != kept)
            std::memmove(base + kept, base + offset, RawLogFile::kChunkSize);
        kept += RawLogFile::kChunkSize;
    });
    bytes.resize(int(kept));
    m_raw = bytes;
    // Room for every entry the headers promise, taken at once: growing a vector of millions of
    // entries step by step costs more in fresh pages than the decoding itself. Pages that stay
    // unused are never touched.
    size_t bound = 0;
    for (qint64 at = 0; at < kept; at += RawLogFile::kChunkSize)
        bound += PulseBlockDecoder::outputBound(base + at, RawLogFile::kChunkSize);
    reserveEntries(std::min(bound, kMaxReservedEntries));
    for (qint64 at = 0; at < kept; at += RawLogFile::kChunkSize)
        decodeChunk(base + at, RawLogFile::kChunkSize);
    if (result.discardedTailBytes > 0)
        qWarning() << "Raw log" << rlogFile << "ends in a partial record of" << result.discardedTailBytes
                   << "bytes, which is ignored";
    m_metaData = result.hasMetaData ? result.metaData : QVariantMap();
    emit metaDataChanged();
    emit pulseLogChanged();
    return true;
}

PulseLog *PulseLog::qmlClone(QObject *parent)
{
    auto *clone = new PulseLog(parent);
    clone->m_entries = m_entries;
    clone->m_readings = m_readings;
    clone->m_totalPulseCount = m_totalPulseCount;
    clone->m_minimumVoltage = m_minimumVoltage;
    clone->m_maximumVoltage = m_maximumVoltage;
    clone->m_minimumTemperature = m_minimumTemperature;
    clone->m_maximumTemperature = m_maximumTemperature;
    return clone;
}

PulseLog *PulseLog::qmlClone()
{
    return qmlClone(nullptr);
}

// ---- analysis ----

int64_t PulseLog::timeBinCount(uint32_t millisecondsPerBin) const
{
    return PulseLogAnalysis::timeBinCount(m_entries, millisecondsPerBin);
}

uint32_t PulseLog::timeBinMaximumPulseCount(uint32_t millisecondsPerBin) const
{
    auto &cache = m_binMaximumCache;
    if (cache.generation != m_entriesGeneration || cache.millisecondsPerBin != millisecondsPerBin) {
        cache.maximum = PulseLogAnalysis::timeBinMaximumPulseCount(m_entries, millisecondsPerBin);
        cache.millisecondsPerBin = millisecondsPerBin;
        cache.generation = m_entriesGeneration;
    }
    return cache.maximum;
}

DataSeriesVectorPtr PulseLog::asTimeBinsQml(uint32_t millisecondsPerBin, QDateTime rangeStart, QDateTime rangeEnd) const
{
    auto sums = std::make_shared<std::vector<double>>();
    const auto range = PulseLogAnalysis::clampRange(m_entries, rangeStart, rangeEnd);
    PulseLogAnalysis::binSums(m_entries, range, millisecondsPerBin, sums.get());
    return sums;
}

QVariantMap PulseLog::dataSeriesStats(DataSeriesVectorPtr vector, size_t binStart, size_t binEnd) const
{
    return PulseLogAnalysis::dataSeriesStats(vector.get(), binStart, binEnd);
}

int64_t PulseLog::pulseCountInRange(QDateTime rangeStart, QDateTime rangeEnd) const
{
    return PulseLogAnalysis::pulseCountInRange(m_entries, rangeStart, rangeEnd);
}

QDateTime PulseLog::binToDate(int64_t binIndex, uint32_t millisecondsPerBin) const
{
    return PulseLogAnalysis::binToDate(m_entries, binIndex, millisecondsPerBin);
}

int64_t PulseLog::dateToBin(QDateTime dateTime, uint32_t millisecondsPerBin) const
{
    return PulseLogAnalysis::dateToBin(m_entries, dateTime, millisecondsPerBin);
}

double PulseLog::dateToBinF(QDateTime dateTime, uint32_t millisecondsPerBin) const
{
    return PulseLogAnalysis::dateToBinF(m_entries, dateTime, millisecondsPerBin);
}

QVariantList PulseLog::buildWindowVL(double windowWidthSeconds, double offsetEndSeconds) const
{
    return PulseLogAnalysis::buildWindowAtEnd(m_entries, windowWidthSeconds, offsetEndSeconds);
}

QVariantList PulseLog::buildWindowVL(TimeTypes::Epoch1970::NanosI64 timeLow,
                                     TimeTypes::Epoch1970::NanosI64 timeHigh) const
{
    return PulseLogAnalysis::buildWindow(m_entries, timeLow, timeHigh);
}

QVariantList PulseLog::dataAsTimeInvertedVL(size_t first, size_t count, bool padToSize) const
{
    return PulseLogAnalysis::dataAsTimeInverted(m_entries, first, count, padToSize);
}

QVariantList PulseLog::voltageDataVL() const
{
    return PulseLogAnalysis::voltageSeries(m_readings);
}

QVariantList PulseLog::temperatureDataVL() const
{
    return PulseLogAnalysis::temperatureSeries(m_readings, false);
}

QVariantList PulseLog::temperatureFahrenheitDataVL() const
{
    return PulseLogAnalysis::temperatureSeries(m_readings, true);
}

QVariantMap PulseLog::nightFlow() const
{
    return NightFlowAnalysis::toVariantMap(NightFlowAnalysis::analyse(m_entries));
}

QDateTime PulseLog::enviroSecondsToDateTime(float secondsOffset) const
{
    return PulseLogAnalysis::enviroSecondsToDateTime(m_readings, secondsOffset);
}

// ---- exports ----

bool PulseLog::exportMetaDataCsv(QString filename)
{
    return PulseLogExporter::exportMetaDataCsv(*this, filename);
}

bool PulseLog::exportPulsesCsv(QString filename, QDateTime rangeStart, QDateTime rangeEnd)
{
    return PulseLogExporter::exportPulsesCsv(*this, filename, rangeStart, rangeEnd);
}

bool PulseLog::exportEnvironmentCsv(QString filename, QDateTime rangeStart, QDateTime rangeEnd)
{
    return PulseLogExporter::exportEnvironmentCsv(*this, filename, rangeStart, rangeEnd);
}

bool PulseLog::exportGroupedCsv(QString filename, uint32_t millisecondsPerBin, QString unit, double unitsPerPulse,
                                double initialReading, double endReading, QDateTime rangeStart, QDateTime rangeEnd)
{
    return PulseLogExporter::exportGroupedCsv(
        *this, filename, {millisecondsPerBin, unit, unitsPerPulse, initialReading, endReading, rangeStart, rangeEnd});
}

bool PulseLog::exportMM100(QString filename, uint32_t millisecondsPerBin, QString unit, double unitsPerPulse,
                           double initialReading, double endReading, QDateTime rangeStart, QDateTime rangeEnd)
{
    return PulseLogExporter::exportMM100(
        *this, filename, {millisecondsPerBin, unit, unitsPerPulse, initialReading, endReading, rangeStart, rangeEnd});
}

bool PulseLog::exportXLSX(QString filename, uint32_t millisecondsPerBin, QString unit, double unitsPerPulse,
                          double initialReading, double endReading, QDateTime rangeStart, QDateTime rangeEnd)
{
    return PulseLogExporter::exportXLSX(
        *this, filename, {millisecondsPerBin, unit, unitsPerPulse, initialReading, endReading, rangeStart, rangeEnd});
}
