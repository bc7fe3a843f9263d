#pragma once

#include "common/XyzSample.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <vector>

// Magnetometer samples held in memory: loaded from a CSV ("x,y,z,time" or three columns) or a
// capture of 520-byte sample blocks, captured live through addSample, and saved as CSV.
class FileRecording : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString filename READ filename NOTIFY filenameChanged)
    Q_PROPERTY(bool timestamped READ timestamped NOTIFY timestampedChanged)
    Q_PROPERTY(int sampleCount READ sampleCount NOTIFY sampleCountChanged)
    Q_PROPERTY(double sourceRate READ sourceRate NOTIFY sourceRateChanged)

public:
    using Samples = std::vector<XyzSampleTimestamped>;

    explicit FileRecording(QObject *parent = nullptr);

    QString filename() const { return m_filename; }
    bool timestamped() const { return m_timestamped; }
    int sampleCount() const { return int(m_samples.size()); }
    double sourceRate() const;
    const Samples &samples() const { return m_samples; }

    // Files above this are refused: a recording is read whole, and a few hours of samples
    // at 400 Hz stay far below it.
    static constexpr qint64 kMaxFileBytes = 256 * 1024 * 1024;

    Q_INVOKABLE void clear();
    Q_INVOKABLE bool load(const QString &filename);
    // Parses file content as load() does; true when samples came out.
    bool loadFromData(const QByteArray &content);
    Q_INVOKABLE bool save(const QString &filename);
    Q_INVOKABLE void shiftToTimeZero();
    Q_INVOKABLE void addSample(const XyzSampleTimestamped &sample);

    // The three readings of a file; exposed for the tests and the command-line tool.
    static Samples parseThreeColumns(const QString &text);
    static Samples parseFourColumns(const QString &text);
    static Samples parseSampleBlocks(const QByteArray &content);
    // Checks the timestamps; repairs them in place when mostly increasing, zeroes them when not.
    // Returns whether the list counts as timestamped.
    static bool validateTimestamps(Samples &samples);
    static void repairTimestamps(Samples &samples);

signals:
    void filenameChanged(const QString &filename);
    void timestampedChanged(bool timestamped);
    void sampleCountChanged(int sampleCount);
    void sourceRateChanged();

private:
    void setFilename(const QString &filename);
    void setTimestamped(bool timestamped);

    Samples m_samples;
    QString m_filename;
    bool m_timestamped = false;
};
