#pragma once

#include "common/FloatVectors.h"
#include "EllipticalDecider.h"
#include "ParameterLearner.h"
#include "SampleRing.h"
#include "SampleSmoother.h"
#include "SignalStrengthMeter.h"
#include "WrappedDecider.h"

#include <mutex>
#include <vector>

// The live elliptical decider with smoothing, signal strength, display histories and
// auto-calibration. One mutex guards the rings, the live decider and the learner; the 3-D view
// takes it (mutex()) while it copies displayPoints(), pointQuality() and hullPoints().
class WrappedEllipticalDecider : public WrappedDecider
{
    Q_OBJECT
    Q_PROPERTY(float signalStrength READ signalStrength NOTIFY signalStrengthChanged)
    Q_PROPERTY(bool autoCalibrate READ autoCalibrate WRITE setAutoCalibrate NOTIFY autoCalibrateChanged)
    Q_PROPERTY(float outerRadius READ outerRadius NOTIFY parametersChanged)
    Q_PROPERTY(float innerRadius READ innerRadius NOTIFY parametersChanged)

public:
    static constexpr int kRingSize = 512;
    static constexpr int kWarmUpSamples = 196;
    static constexpr int kPacketSize = 138;
    // Bytes a parameter packet must have for deserialize to read it (header, result, block, status).
    static constexpr int kMinimumPacketSize = 102;

    explicit WrappedEllipticalDecider(QObject *parent = nullptr);
    ~WrappedEllipticalDecider() override;

    Network::Algorithm algorithm() const override { return Network::Algorithm::Elliptical; }
    float learningPercent() const override { return 0.f; }
    DeciderStatus status() const override;
    QString error() const override { return QString(); }
    Decider &decider() override { return m_decider; }
    const Decider &decider() const override { return m_decider; }
    QByteArray serialize() const override;
    bool deserialize(const QByteArray &packet) override;

    float signalStrength() const { return m_signalStrength; }
    bool autoCalibrate() const { return m_autoCalibrate; }
    float outerRadius() const { return m_decider.parameters().outerRadius; }
    float innerRadius() const { return m_decider.parameters().innerRadius; }
    Q_INVOKABLE float3 center() const;
    Q_INVOKABLE void shiftCenter(float x, float y, float z);

    // Readers of the histories must hold mutex() while they look.
    std::mutex &mutex() const { return m_mutex; }
    const SampleRing<float3, kRingSize> &filteredSamples() const { return m_filteredSamples; }
    const SampleRing<float3, kRingSize> &displayPoints() const { return m_displayPoints; }
    const SampleRing<float, kRingSize> &pointQuality() const { return m_pointQuality; }
    const std::vector<float2> &hullPoints() const { return m_hullPoints; }
    const EllipticalDecider &liveDecider() const { return m_decider; }
    const ParameterLearner &learner() const { return m_learner; }

public slots:
    void addSample(const XyzSampleTimestamped &sample) override;
    void beginLearningParameters();
    void setAutoCalibrate(bool autoCalibrate);

signals:
    void signalStrengthChanged(float signalStrength);
    void autoCalibrateChanged(bool autoCalibrate);
    void parametersChanged();

private:
    mutable std::mutex m_mutex;
    SampleSmoother m_smoother;
    SampleRing<float3, kRingSize> m_filteredSamples;
    SampleRing<float3, kRingSize> m_displayPoints;
    SampleRing<float, kRingSize> m_pointQuality;
    EllipticalDecider m_decider;
    ParameterLearner m_learner;
    SignalStrengthMeter m_strengthMeter;
    std::vector<float2> m_hullPoints;
    float m_signalStrength = 0.f;
    bool m_autoCalibrate = false;
    uint8_t m_abortLearning = 0;
};
