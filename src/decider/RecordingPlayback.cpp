#include "RecordingPlayback.h"

#include <algorithm>
#include <cstdint>

RecordingPlayback::RecordingPlayback(QObject *parent) : QObject(parent)
{
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &RecordingPlayback::onTick);
}

void RecordingPlayback::setTargetHz(double targetHz)
{
    // NaN compares false both ways; treat it as the lowest rate rather than storing it.
    const double clamped = targetHz >= 1.0 ? std::min(targetHz, 10000.0) : 1.0;
    if (clamped == m_targetHz)
        return;
    m_targetHz = clamped;
    emit targetHzChanged(clamped);
}

void RecordingPlayback::setOverrideRecordedRate(bool overrideRecordedRate)
{
    if (overrideRecordedRate == m_overrideRecordedRate)
        return;
    m_overrideRecordedRate = overrideRecordedRate;
    emit overrideRecordedRateChanged(overrideRecordedRate);
}

void RecordingPlayback::setRecording(FileRecording *recording)
{
    if (m_countConnection)
        disconnect(m_countConnection);
    m_recording = recording;
    if (recording)
        m_countConnection = connect(recording, &FileRecording::sampleCountChanged, this, &RecordingPlayback::restart);
    m_clock = 0;
    m_nextIndex = 0;
    startOrStop();
    emit recordingChanged(recording);
}

void RecordingPlayback::restart()
{
    m_clock = 0;
    m_nextIndex = 0;
    startOrStop();
}

void RecordingPlayback::startOrStop()
{
    if (m_recording && m_recording->sampleCount() > 0) {
        m_timer.start();
        m_elapsed.restart();
    } else {
        m_timer.stop();
    }
}

void RecordingPlayback::onTick()
{
    advanceTo(m_elapsed.isValid() ? m_elapsed.nsecsElapsed() : 0);
}

void RecordingPlayback::advanceTo(TimeTypes::Epoch1970::NanosI64 now)
{
    if (!m_recording || m_recording->sampleCount() <= 1)
        return;
    const FileRecording::Samples &samples = m_recording->samples();
    const uint64_t count = samples.size();

    double period = 1e9 / m_targetHz;
    const bool recordedSpacing = m_recording->timestamped() && !m_overrideRecordedRate;
    if (recordedSpacing) {
        const double rate = m_recording->sourceRate();
        if (rate > 0.01)
            period = 1e9 / rate;
    }
    const auto periodNs = std::max<int64_t>(1, int64_t(period));

    if (m_nextIndex >= count)
        m_nextIndex = 0;
    if (m_clock >= now)
        return;
    for (int emitted = 0; emitted < kMaxSamplesPerTick && m_clock < now; ++emitted) {
        // A receiver may change or clear the recording from its slot: re-check every time.
        if (!m_recording || uint64_t(m_recording->sampleCount()) != count)
            return;
        const uint64_t i = m_nextIndex;
        XyzSampleTimestamped out = samples[i];
        out.timestamp = m_clock;
        const int64_t prev = samples[i == 0 ? count - 1 : i - 1].timestamp;
        const int64_t cur = samples[i].timestamp;
        // Differences of captured (arbitrary) timestamps are taken without signed overflow.
        const uint64_t diff = uint64_t(cur) - uint64_t(prev);
        const bool usable = recordedSpacing && cur >= prev && diff < uint64_t(INT64_MAX / 2);
        m_clock += usable ? int64_t(diff) : periodNs;
        m_nextIndex = (i + 1) % count;
        emit sampleAvailable(out);
    }
}
