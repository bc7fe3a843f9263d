#include "LocalMagnetometer.h"

#include <QDebug>
#include <QMagnetometer>

#include <cmath>

namespace {
constexpr qint64 kRateMeasureNs = 6000000000LL;
constexpr qint64 kRateStartReading = 19;  // the 20th reading starts the rate measurement

int16_t toRawCount(float microtesla)
{
    const float tenths = std::round(microtesla * 10.f);
    if (std::isnan(tenths))
        return 0;
    if (tenths >= 32767.f)
        return 32767;
    if (tenths <= -32768.f)
        return -32768;
    return int16_t(tenths);
}
}  // namespace

LocalMagnetometer::LocalMagnetometer(QObject *parent) : QObject(parent)
{
    m_clock.start();
}

LocalMagnetometer::~LocalMagnetometer()
{
    delete m_magnetometer;
}

XyzSampleTimestamped LocalMagnetometer::toTimestampedSample(const float3 &microtesla,
                                                            TimeTypes::Epoch1970::NanosI64 timestamp)
{
    XyzSampleTimestamped s;
    s.x = toRawCount(microtesla.x);
    s.y = toRawCount(microtesla.y);
    s.z = toRawCount(microtesla.z);
    s.timestamp = timestamp;
    return s;
}

void LocalMagnetometer::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    if (enabled) {
        setError(QString());
        start();
    } else {
        setState(State_Unstarted);
        deleteSensor();
        emit magnetometerChanged(nullptr);
    }
    emit enabledChanged(enabled);
}

void LocalMagnetometer::deleteSensor()
{
    if (!m_magnetometer)
        return;
    QMagnetometer *sensor = m_magnetometer;
    m_magnetometer = nullptr;
    sensor->disconnect(this);
    sensor->stop();
    delete sensor;
}

void LocalMagnetometer::start()
{
    deleteSensor();
    m_readings = 0;
    m_rateTimerRunning = false;
    m_magnetometer = new QMagnetometer(this);
    emit magnetometerChanged(m_magnetometer);
    connect(m_magnetometer, &QMagnetometer::readingChanged, this, &LocalMagnetometer::onReadingChanged);
    m_magnetometer->setDataRate(kTargetHz);
    m_magnetometer->connectToBackend();
    if (m_magnetometer->start()) {
        qInfo() << "Successfully started LocalMagnetometer";
        setState(State_Initializing);
        return;
    }
    if (!m_magnetometer->isConnectedToBackend())
        setError(QStringLiteral("Unable to find or connect to sensor"));
    else if (m_magnetometer->isBusy())
        setError(QStringLiteral("Sensor busy"));
    else
        setError(QStringLiteral("Unknown error"));
    qWarning() << "Failed to start LocalMagnetometer";
    deleteSensor();
    emit magnetometerChanged(nullptr);
    setState(State_Unstarted);
}

void LocalMagnetometer::onReadingChanged()
{
    if (!m_magnetometer)
        return;
    const QMagnetometerReading *r = m_magnetometer->reading();
    if (!r)
        return;
    handleReading(float(r->x()), float(r->y()), float(r->z()), m_clock.nsecsElapsed());
}

void LocalMagnetometer::handleReading(float xTesla, float yTesla, float zTesla, qint64 monotonicNs)
{
    const qint64 n = m_readings++;
    const float3 sample{xTesla * 1000000.f, yTesla * 1000000.f, zTesla * 1000000.f};
    if (m_state == State_Running) {
        emitSample(sample);
        return;
    }
    // While the rate is measured the latest reading is kept, so the first interpolated samples
    // start from a real reading instead of the origin.
    m_previous = sample;
    if (n == kRateStartReading) {
        m_rateStartNs = monotonicNs;
        m_rateTimerRunning = true;
        return;
    }
    if (!m_rateTimerRunning || monotonicNs - m_rateStartNs <= kRateMeasureNs)
        return;
    const double seconds = double(monotonicNs - m_rateStartNs) / 1e9;
    setNativeHz(float(double(m_readings - 20) / seconds));
    qInfo() << "Magnetometer nativeHz:" << m_nativeHz;
    m_interpolation = 1;
    if (m_nativeHz < float(kTargetHz) && m_nativeHz > 0.f) {
        const int k = int(std::lround(double(kTargetHz) / double(m_nativeHz)));
        qInfo() << "interpolation factor:" << k;
        m_interpolation = k > 1 ? k : 1;
    }
    setState(State_Running);
}

void LocalMagnetometer::emitSample(const float3 &sample)
{
    const TimeTypes::Epoch1970::NanosI64 now = TimeTypes::Epoch1970::now();
    const int k = m_interpolation;
    if (k > 1) {
        // The interpolated samples are spread over one reading interval ending now, so the
        // smoother sees their true spacing rather than k samples at one instant.
        const qint64 spacing = m_nativeHz > 0.f ? qint64(1e9 / (double(m_nativeHz) * k)) : 0;
        for (int i = 0; i < k; ++i) {
            const float c = float(i) / float(k);
            const float3 s{(1.f - c) * m_previous.x + c * sample.x, (1.f - c) * m_previous.y + c * sample.y,
                           (1.f - c) * m_previous.z + c * sample.z};
            emit sampleAvailable(s);
            emit timestampedSampleAvailable(toTimestampedSample(s, now - (k - 1 - i) * spacing));
        }
        m_previous = sample;
    } else {
        emit sampleAvailable(sample);
        emit timestampedSampleAvailable(toTimestampedSample(sample, now));
    }
}

void LocalMagnetometer::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void LocalMagnetometer::setError(const QString &error)
{
    if (error == m_error)
        return;
    m_error = error;
    qDebug().noquote() << error;
    emit errorChanged(error);
}

void LocalMagnetometer::setNativeHz(float hz)
{
    if (hz == m_nativeHz)
        return;
    m_nativeHz = hz;
    emit nativeHzChanged(hz);
}
