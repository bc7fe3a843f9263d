#pragma once

#include "common/TimeTypes.h"
#include "common/XyzSample.h"
#include "FileRecording.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

// Replays a FileRecording in real time, looping, with each sample's timestamp replaced by the
// playback clock. Uses the recorded spacing when the recording has timestamps, else a fixed rate.
class RecordingPlayback : public QObject
{
    Q_OBJECT
    Q_PROPERTY(FileRecording *recording READ recording WRITE setRecording NOTIFY recordingChanged)
    Q_PROPERTY(double targetHz READ targetHz WRITE setTargetHz NOTIFY targetHzChanged)
    Q_PROPERTY(bool overrideRecordedRate READ overrideRecordedRate WRITE setOverrideRecordedRate NOTIFY
                   overrideRecordedRateChanged)

public:
    static constexpr int kTickMs = 10;
    static constexpr int kMaxSamplesPerTick = 50;

    explicit RecordingPlayback(QObject *parent = nullptr);

    FileRecording *recording() const { return m_recording; }
    double targetHz() const { return m_targetHz; }
    bool overrideRecordedRate() const { return m_overrideRecordedRate; }
    bool running() const { return m_timer.isActive(); }

    void setRecording(FileRecording *recording);
    void setTargetHz(double targetHz);
    void setOverrideRecordedRate(bool overrideRecordedRate);

    // One timer tick as if `now` nanoseconds had passed since the last (re)start.
    void advanceTo(TimeTypes::Epoch1970::NanosI64 now);

public slots:
    void restart();

signals:
    void recordingChanged(FileRecording *recording);
    void targetHzChanged(double targetHz);
    void overrideRecordedRateChanged(bool overrideRecordedRate);
    void sampleAvailable(const XyzSampleTimestamped &sample);

private:
    void onTick();
    void startOrStop();

    double m_targetHz = 400.0;
    bool m_overrideRecordedRate = false;
    QPointer<FileRecording> m_recording;
    QMetaObject::Connection m_countConnection;
    TimeTypes::Epoch1970::NanosI64 m_clock = 0;
    uint64_t m_nextIndex = 0;
    QTimer m_timer;
    QElapsedTimer m_elapsed;
};
