#pragma once

// How the pulse log library reports failure (nothing here throws): file operations (load,
// saveRaw, the exports) return bool and write the reason to the log as a warning; a write that
// fails leaves any earlier file in place. Damaged input loads as far as it is readable, and
// what was skipped is logged.

#include "common/TimeTypes.h"
#include "PulseLogTypes.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

// One value per time bin, shared with the graph items without copying.
using DataSeriesVectorPtr = std::shared_ptr<std::vector<double>>;
Q_DECLARE_METATYPE(DataSeriesVectorPtr)

// One logging session: pulses with their times, environment readings, the raw records they
// came from and the user's metadata. Lives in the GUI thread.
class PulseLog : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int64_t totalPulseCount READ totalPulseCount NOTIFY pulseLogChanged)
    Q_PROPERTY(QVariantMap metaData READ metaData WRITE setMetaData NOTIFY metaDataChanged)
    Q_PROPERTY(QStringList fixedFieldNames READ fixedFieldNames CONSTANT)
    Q_PROPERTY(float minimumVoltage READ minimumVoltage NOTIFY pulseLogChanged)
    Q_PROPERTY(float maximumVoltage READ maximumVoltage NOTIFY pulseLogChanged)
    Q_PROPERTY(float minimumTemperatureCelsiusDegrees READ minimumTemperatureCelsiusDegrees NOTIFY pulseLogChanged)
    Q_PROPERTY(float maximumTemperatureCelsiusDegrees READ maximumTemperatureCelsiusDegrees NOTIFY pulseLogChanged)

public:
    using NanosI64 = TimeTypes::Epoch1970::NanosI64;
    using TimestampedEntry = PulseLogTypes::TimestampedEntry;
    using EnvironmentReading = PulseLogTypes::EnvironmentReading;
    using Entries = std::vector<TimestampedEntry>;
    using Readings = std::map<NanosI64, EnvironmentReading>;

    explicit PulseLog(QObject *parent = nullptr);
    ~PulseLog() override;

    int64_t totalPulseCount() const { return m_totalPulseCount; }
    QVariantMap metaData() const { return m_metaData; }
    static QStringList fixedFieldNames();

    const Entries &entries() const { return m_entries; }
    const Readings &environmentReadings() const { return m_readings; }
    const QByteArray &rawData() const { return m_raw; }

    // Range visits: entries with from <= time < to (time <= to when includeTo), readings with
    // from <= time <= to. The reading callback gets the time as a nanosecond duration.
    template <typename F> void visitEntries(NanosI64 from, NanosI64 to, bool includeTo, F &&visit) const;
    template <typename F> void visitEnvironmentReadings(NanosI64 from, NanosI64 to, F &&visit) const;

    // Analysis (read-only, computed on each call)
    Q_INVOKABLE int64_t timeBinCount(uint32_t millisecondsPerBin) const;
    Q_INVOKABLE uint32_t timeBinMaximumPulseCount(uint32_t millisecondsPerBin) const;
    Q_INVOKABLE DataSeriesVectorPtr asTimeBinsQml(uint32_t millisecondsPerBin, QDateTime rangeStart,
                                                  QDateTime rangeEnd) const;
    Q_INVOKABLE QVariantMap dataSeriesStats(DataSeriesVectorPtr vector, size_t binStart, size_t binEnd) const;
    Q_INVOKABLE int64_t pulseCountInRange(QDateTime rangeStart, QDateTime rangeEnd) const;
    Q_INVOKABLE QDateTime binToDate(int64_t binIndex, uint32_t millisecondsPerBin) const;
    Q_INVOKABLE int64_t dateToBin(QDateTime dateTime, uint32_t millisecondsPerBin) const;
    Q_INVOKABLE double dateToBinF(QDateTime dateTime, uint32_t millisecondsPerBin) const;
    Q_INVOKABLE QVariantList buildWindowVL(double windowWidthSeconds, double offsetEndSeconds) const;
    Q_INVOKABLE QVariantList buildWindowVL(TimeTypes::Epoch1970::NanosI64 timeLow,
                                           TimeTypes::Epoch1970::NanosI64 timeHigh) const;
    Q_INVOKABLE QVariantList dataAsTimeInvertedVL(size_t first, size_t count, bool padToSize) const;
    Q_INVOKABLE QVariantList voltageDataVL() const;
    Q_INVOKABLE QVariantList temperatureDataVL() const;
    Q_INVOKABLE QVariantList temperatureFahrenheitDataVL() const;
    Q_INVOKABLE QDateTime enviroSecondsToDateTime(float secondsOffset) const;
    // Minimum night flow per night and continuous-leak stretches in local time (NightFlowAnalysis).
    Q_INVOKABLE QVariantMap nightFlow() const;
    Q_INVOKABLE float minimumVoltage() const { return m_minimumVoltage; }
    Q_INVOKABLE float maximumVoltage() const { return m_maximumVoltage; }
    Q_INVOKABLE float minimumTemperatureCelsiusDegrees() const { return m_minimumTemperature; }
    Q_INVOKABLE float maximumTemperatureCelsiusDegrees() const { return m_maximumTemperature; }

    // Called from QML, the engine owns the copy (an invokable's result goes to the engine) and
    // collects it once unreferenced, unless it was given a parent.
    Q_INVOKABLE PulseLog *qmlClone(QObject *parent);
    Q_INVOKABLE PulseLog *qmlClone();

public slots:
    void setMetaData(QVariantMap metaData);
    void appendRawData(QByteArray logChunk);
    void appendRawDataNoSignal(QByteArray logChunk);
    void addPulses(TimeTypes::Epoch1970::NanosI64 timestamp, uint32_t count);
    void addPulsesNoSignal(TimeTypes::Epoch1970::NanosI64 timestamp, uint32_t count);
    void addEnvironmentReading(TimeTypes::Epoch1970::NanosI64 timestamp,
                               PulseLogTypes::EnvironmentReading enviroReading);
    void addEnvironmentReadingNoSignal(TimeTypes::Epoch1970::NanosI64 timestamp,
                                       PulseLogTypes::EnvironmentReading enviroReading);
    void clear();
    bool saveRaw(QString filename);
    bool load(QString rlogFile);

    // Exports; every file is written beside its target and renamed into place when complete.
    bool exportMetaDataCsv(QString filename);
    bool exportPulsesCsv(QString filename, QDateTime rangeStart, QDateTime rangeEnd);
    bool exportEnvironmentCsv(QString filename, QDateTime rangeStart, QDateTime rangeEnd);
    bool exportGroupedCsv(QString filename, uint32_t millisecondsPerBin, QString unit, double unitsPerPulse,
                          double initialReading, double endReading, QDateTime rangeStart, QDateTime rangeEnd);
    bool exportMM100(QString filename, uint32_t millisecondsPerBin, QString unit, double unitsPerPulse,
                     double initialReading, double endReading, QDateTime rangeStart, QDateTime rangeEnd);
    bool exportXLSX(QString filename, uint32_t millisecondsPerBin, QString unit, double unitsPerPulse,
                    double initialReading, double endReading, QDateTime rangeStart, QDateTime rangeEnd);

signals:
    void pulseLogChanged();
    void metaDataChanged();

private:
    void resetModel();
    void updateExtremes(const EnvironmentReading &reading);
    // Decodes one chunk into the model (not into the raw bytes).
    void decodeChunk(const char *data, size_t size);
    // Adds a chunk's outputs (time order, each later than the one before) to the entries.
    void appendDecoded(const TimestampedEntry *outputs, size_t count);
    void reserveEntries(size_t capacity);
    // addPulsesNoSignal without the generation count: pulses arrive in time order, so nearly
    // every call appends or adds to the last entry.
    void insertPulses(NanosI64 time, uint32_t count)
    {
        m_totalPulseCount += count;
        if (m_entries.empty() || m_entries.back().time < time)
            m_entries.push_back({time, count});
        else if (m_entries.back().time == time)
            m_entries.back().count += count;
        else
            insertEarlierPulses(time, count);
    }
    void insertEarlierPulses(NanosI64 time, uint32_t count);

    Entries m_entries;
    // Counts every change of m_entries, so the cached maximum below knows when it is stale.
    uint64_t m_entriesGeneration = 0;
    // The chart asks for the whole log's largest bin on every redraw (each zoom step); on a
    // month of pulses that pass is most of a redraw's cost, for an answer that only changes
    // with the log or the grouping interval.
    mutable struct {
        uint64_t generation = ~uint64_t(0);
        uint32_t millisecondsPerBin = 0;
        uint32_t maximum = 0;
    } m_binMaximumCache;
    Readings m_readings;
    QByteArray m_raw;
    QVariantMap m_metaData;
    int64_t m_totalPulseCount = 0;
    float m_minimumVoltage;
    float m_maximumVoltage;
    float m_minimumTemperature;
    float m_maximumTemperature;
};

template <typename F> void PulseLog::visitEntries(NanosI64 from, NanosI64 to, bool includeTo, F &&visit) const
{
    auto it = std::lower_bound(m_entries.begin(), m_entries.end(), from,
                               [](const TimestampedEntry &e, NanosI64 t) { return e.time < t; });
    for (; it != m_entries.end() && (it->time < to || (includeTo && it->time == to)); ++it)
        visit(*it);
}

template <typename F> void PulseLog::visitEnvironmentReadings(NanosI64 from, NanosI64 to, F &&visit) const
{
    for (auto it = m_readings.lower_bound(from); it != m_readings.end() && it->first <= to; ++it)
        visit(it->first, it->second);
}

Q_DECLARE_METATYPE(PulseLogTypes::EnvironmentReading)
