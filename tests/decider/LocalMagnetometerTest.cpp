#include "decider/LocalMagnetometer.h"

#include <gtest/gtest.h>
#include <QMagnetometer>
#include <QSensorBackend>
#include <QSensorBackendFactory>
#include <QSensorManager>
#include <QSignalSpy>

#include <cmath>

namespace {
// A host magnetometer that the test drives: it reports readings on demand and can pretend to
// be busy.
class FakeMagnetometerBackend : public QSensorBackend
{
public:
    static inline FakeMagnetometerBackend *last = nullptr;
    static inline bool busy = false;

    explicit FakeMagnetometerBackend(QSensor *sensor) : QSensorBackend(sensor)
    {
        setReading<QMagnetometerReading>(&m_reading);
        addDataRate(1, 1000);
        last = this;
    }
    ~FakeMagnetometerBackend() override
    {
        if (last == this)
            last = nullptr;
    }
    void start() override
    {
        if (busy)
            sensorBusy();
    }
    void stop() override {}
    void push(double x, double y, double z)
    {
        m_reading.setX(x);
        m_reading.setY(y);
        m_reading.setZ(z);
        newReadingAvailable();
    }

private:
    QMagnetometerReading m_reading;
};

class FakeFactory : public QSensorBackendFactory
{
public:
    QSensorBackend *createBackend(QSensor *sensor) override { return new FakeMagnetometerBackend(sensor); }
};

FakeFactory g_factory;
const QByteArray kFakeId = "tw.test.magnetometer";

void useFakeBackend()
{
    if (!QSensorManager::isBackendRegistered(QMagnetometer::type, kFakeId))
        QSensorManager::registerBackend(QMagnetometer::type, kFakeId, &g_factory);
    QSensorManager::setDefaultBackend(QMagnetometer::type, kFakeId);
}

float3 sampleArg(const QList<QVariant> &args)
{
    return args.at(0).value<float3>();
}
}  // namespace

TEST(LocalMagnetometer, MicroteslaBecomeSaturatedTenths)
{
    const auto s = LocalMagnetometer::toTimestampedSample({12.34f, -0.05f, 0.04f}, 77);
    EXPECT_EQ(s.x, 123);
    EXPECT_EQ(s.y, -1);  // halves round away from zero
    EXPECT_EQ(s.z, 0);
    EXPECT_EQ(int64_t(s.timestamp), 77);
    const auto big = LocalMagnetometer::toTimestampedSample({5000.f, -5000.f, NAN}, 0);
    EXPECT_EQ(big.x, 32767);
    EXPECT_EQ(big.y, -32768);
    EXPECT_EQ(big.z, 0);
    const auto inf = LocalMagnetometer::toTimestampedSample({INFINITY, -INFINITY, 3276.7f}, 0);
    EXPECT_EQ(inf.x, 32767);
    EXPECT_EQ(inf.y, -32768);
    EXPECT_EQ(inf.z, 32767);
}

TEST(LocalMagnetometer, MeasuresTheNativeRateThenInterpolates)
{
    LocalMagnetometer m;
    QSignalSpy state(&m, &LocalMagnetometer::stateChanged);
    QSignalSpy hz(&m, &LocalMagnetometer::nativeHzChanged);
    QSignalSpy samples(&m, &LocalMagnetometer::sampleAvailable);
    QSignalSpy stamped(&m, &LocalMagnetometer::timestampedSampleAvailable);
    // 100 Hz readings, 10 ms apart; the value encodes the reading number (in microtesla).
    int n = 0;
    auto reading = [&](int i) { m.handleReading(i * 1e-6f, 0.f, -i * 1e-6f, qint64(i) * 10000000); };
    for (; n <= 619; ++n)
        reading(n);
    // The 20th reading (n = 19) starts the clock; 6.0 s later is not yet "more than 6 s".
    EXPECT_EQ(samples.count(), 0);
    EXPECT_EQ(hz.count(), 0);
    reading(n++);  // 6.01 s after the 20th reading
    ASSERT_EQ(hz.count(), 1);
    EXPECT_NEAR(m.nativeHz(), 100.f, 0.01f);
    EXPECT_EQ(m.interpolationFactor(), 4);
    EXPECT_EQ(m.state(), LocalMagnetometer::State_Running);
    EXPECT_EQ(samples.count(), 0);

    // Each reading now yields four evenly spaced samples starting at the previous reading.
    reading(n++);
    ASSERT_EQ(samples.count(), 4);
    for (int i = 0; i < 4; ++i) {
        const float3 s = sampleArg(samples.at(i));
        EXPECT_NEAR(s.x, 620.f + 0.25f * i, 1e-3f) << i;
        EXPECT_NEAR(s.z, -620.f - 0.25f * i, 1e-3f) << i;
    }
    ASSERT_EQ(stamped.count(), 4);
    const auto first = stamped.at(0).at(0).value<XyzSampleTimestamped>();
    const auto lastS = stamped.at(3).at(0).value<XyzSampleTimestamped>();
    EXPECT_EQ(first.x, 6200);
    EXPECT_EQ(lastS.x, 6208);
    // Spread over one reading interval, ending now.
    EXPECT_EQ(int64_t(lastS.timestamp - first.timestamp), 3 * 2500000);
    const qint64 now = TimeTypes::Epoch1970::now();
    EXPECT_LE(int64_t(lastS.timestamp), now);
    EXPECT_GT(int64_t(lastS.timestamp), now - 5000000000LL);
}

TEST(LocalMagnetometer, FastSensorIsNotInterpolated)
{
    LocalMagnetometer m;
    QSignalSpy samples(&m, &LocalMagnetometer::sampleAvailable);
    int i = 0;
    for (; m.state() != LocalMagnetometer::State_Running && i < 10000; ++i)
        m.handleReading(1e-6f, 2e-6f, 3e-6f, qint64(i) * 2000000);  // 500 Hz
    EXPECT_NEAR(m.nativeHz(), 500.f, 0.5f);
    EXPECT_EQ(m.interpolationFactor(), 1);
    EXPECT_EQ(samples.count(), 0);
    m.handleReading(4e-6f, 0, 0, qint64(i) * 2000000);
    EXPECT_EQ(samples.count(), 1);
    EXPECT_NEAR(sampleArg(samples.last()).x, 4.f, 1e-4f);
}

TEST(LocalMagnetometer, StartsAndStopsThroughQtSensors)
{
    const bool anyBackend = !QSensor::sensorsForType(QMagnetometer::type).isEmpty();
    if (!anyBackend) {
        LocalMagnetometer none;
        QSignalSpy error(&none, &LocalMagnetometer::errorChanged);
        none.setEnabled(true);
        EXPECT_EQ(none.error(), QStringLiteral("Unable to find or connect to sensor"));
        EXPECT_EQ(none.state(), LocalMagnetometer::State_Unstarted);
        EXPECT_EQ(none.magnetometer(), nullptr);
        EXPECT_TRUE(none.enabled());
        none.setEnabled(false);
    }

    useFakeBackend();
    FakeMagnetometerBackend::busy = true;
    LocalMagnetometer busy;
    busy.setEnabled(true);
    EXPECT_EQ(busy.error(), QStringLiteral("Sensor busy"));
    EXPECT_EQ(busy.state(), LocalMagnetometer::State_Unstarted);
    EXPECT_EQ(busy.magnetometer(), nullptr);
    FakeMagnetometerBackend::busy = false;

    LocalMagnetometer m;
    QSignalSpy enabled(&m, &LocalMagnetometer::enabledChanged);
    QSignalSpy sensor(&m, &LocalMagnetometer::magnetometerChanged);
    m.setEnabled(true);
    EXPECT_TRUE(m.error().isEmpty());
    EXPECT_EQ(m.state(), LocalMagnetometer::State_Initializing);
    ASSERT_NE(m.magnetometer(), nullptr);
    EXPECT_EQ(m.magnetometer()->dataRate(), 400);
    EXPECT_EQ(enabled.count(), 1);
    EXPECT_EQ(sensor.count(), 1);
    // Readings arrive through the sensor; nothing is emitted while the rate is measured.
    QSignalSpy samples(&m, &LocalMagnetometer::sampleAvailable);
    ASSERT_NE(FakeMagnetometerBackend::last, nullptr);
    for (int i = 0; i < 30; ++i)
        FakeMagnetometerBackend::last->push(1e-5, 2e-5, 3e-5);
    EXPECT_EQ(samples.count(), 0);
    m.setEnabled(true);  // unchanged: nothing happens
    EXPECT_EQ(enabled.count(), 1);
    m.setEnabled(false);
    EXPECT_EQ(m.state(), LocalMagnetometer::State_Unstarted);
    EXPECT_EQ(m.magnetometer(), nullptr);
    EXPECT_EQ(sensor.count(), 2);
    EXPECT_EQ(sensor.last().at(0).value<QMagnetometer *>(), nullptr);
    EXPECT_EQ(enabled.count(), 2);
}
