#pragma once

#include "common/FloatVectors.h"
#include "common/TimeTypes.h"
#include "common/XyzSample.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QMagnetometer;

// The host computer's own magnetometer as a sample source. It measures the sensor's native rate
// first (about six seconds) and then emits samples, interpolated up to about 400 per second.
class LocalMagnetometer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool enabled READ enabled WRITE setEnabled NOTIFY enabledChanged)
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(float nativeHz READ nativeHz NOTIFY nativeHzChanged)
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)
    Q_PROPERTY(QMagnetometer *magnetometer READ magnetometer NOTIFY magnetometerChanged)

public:
    enum State { State_Unstarted = 0, State_Initializing = 1, State_Running = 2 };
    Q_ENUM(State)

    static constexpr int kTargetHz = 400;

    explicit LocalMagnetometer(QObject *parent = nullptr);
    ~LocalMagnetometer() override;

    bool enabled() const { return m_enabled; }
    State state() const { return m_state; }
    float nativeHz() const { return m_nativeHz; }
    QString error() const { return m_error; }
    QMagnetometer *magnetometer() const { return m_magnetometer; }
    int interpolationFactor() const { return m_interpolation; }

    void setEnabled(bool enabled);

    // Microtesla as the decider's raw counts: tenths, rounded, saturated to int16 (NaN gives 0).
    static XyzSampleTimestamped toTimestampedSample(const float3 &microtesla, TimeTypes::Epoch1970::NanosI64 timestamp);

    // One reading in tesla, as the sensor delivers it, taken at monotonicNs on any monotonic
    // clock. The sensor path and the tests both come through here.
    void handleReading(float xTesla, float yTesla, float zTesla, qint64 monotonicNs);

signals:
    void enabledChanged(bool enabled);
    void stateChanged(State state);
    void nativeHzChanged(float nativeHz);
    void errorChanged(const QString &error);
    void magnetometerChanged(QMagnetometer *magnetometer);
    void sampleAvailable(const float3 &sample);
    // The same samples converted for WrappedDecider::addSample, stamped with the current time.
    void timestampedSampleAvailable(const XyzSampleTimestamped &sample);

private:
    void start();
    void deleteSensor();
    void onReadingChanged();
    void setState(State state);
    void setError(const QString &error);
    void setNativeHz(float hz);
    void emitSample(const float3 &sample);

    bool m_enabled = false;
    State m_state = State_Unstarted;
    QMagnetometer *m_magnetometer = nullptr;
    qint64 m_readings = 0;
    QElapsedTimer m_clock;  // monotonic time for the sensor path
    bool m_rateTimerRunning = false;
    qint64 m_rateStartNs = 0;
    float m_nativeHz = 0.f;
    int m_interpolation = 1;
    float3 m_previous;
    QString m_error;
};
