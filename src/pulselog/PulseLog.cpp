#include "PulseLog.h"

#include "NightFlowAnalysis.h"
#include "PulseBlockDecoder.h"
#include "PulseLogAnalysis.h"
#include "PulseLogExporter.h"
#include "RawLogFile.h"
#include "SafeFileWriter.h"

#include <QDebug>
#include <QFile>
#include <QQmlEngine>

#include <cmath>
#include <limits>

namespace {
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr qint64 kMaxRawFileSize = qint64(1) << 30;

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
    // Reused between calls: downloads and file loads append thousands of blocks.
    static thread_local PulseBlock block;
    if (PulseBlockDecoder::decode(logChunk.constData(), size_t(logChunk.size()), block) ==
        PulseBlockDecoder::Result::Decoded) {
        addPulsesNoSignal(block.baseTime, 0);
        addEnvironmentReadingNoSignal(block.environmentTime, block.environment);
        for (const auto &out : block.outputs)
            addPulsesNoSignal(out.time, out.count);
    }
    m_raw.append(logChunk);
}

void PulseLog::addPulses(TimeTypes::Epoch1970::NanosI64 timestamp, uint32_t count)
{
    addPulsesNoSignal(timestamp, count);
    emit pulseLogChanged();
}

void PulseLog::addPulsesNoSignal(TimeTypes::Epoch1970::NanosI64 timestamp, uint32_t count)
{
    m_totalPulseCount += count;
    ++m_entriesGeneration;
    // Downloads and live pulses arrive in time order: append without searching.
    if (m_entries.empty() || m_entries.back().time < timestamp) {
        m_entries.push_back({timestamp, count});
        return;
    }
    if (m_entries.back().time == timestamp) {
        m_entries.back().count += count;
        return;
    }
    const auto it = m_entries.begin() + std::ptrdiff_t(PulseLogAnalysis::lowerBound(m_entries, timestamp));
    if (it->time == timestamp)
        it->count += count;
    else
        m_entries.insert(it, {timestamp, count});
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
    m_raw.reserve(int(file.size()));
    const RawLogFile::ReadResult result =
        RawLogFile::read(file, [this](const QByteArray &chunk) { appendRawDataNoSignal(chunk); });
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
    QQmlEngine::setObjectOwnership(clone, QQmlEngine::JavaScriptOwnership);
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
