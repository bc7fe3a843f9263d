#include "WrappedEllipticalDecider.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
constexpr uint16_t kPushPacketType = 20568;  // C2S_PushAlgorithmParameters, "XP"
constexpr int kResultOffset = 8;
constexpr int kBlockOffset = 10;
constexpr int kStatusOffset = 98;
constexpr int kPaddingOffset = 102;
constexpr int kPaddingBytes = 4;

// Relearn when the live decider looks unhealthy.
constexpr float kMinInnerLimitSq = 0.5f;
constexpr uint32_t kMaxBadPoints = 50;
constexpr uint32_t kMaxMovesWithoutPulse = 2000;
}  // namespace

WrappedEllipticalDecider::WrappedEllipticalDecider(QObject *parent) : WrappedDecider(parent) {}

WrappedEllipticalDecider::~WrappedEllipticalDecider() = default;

WrappedDecider::DeciderStatus WrappedEllipticalDecider::status() const
{
    const bool running = m_decider.status() != 0;
    if (!m_learner.busy())
        return running ? DeciderStatus_Running : DeciderStatus_NotReady;
    return running ? DeciderStatus_RunningBackgroundLearning : DeciderStatus_LearningParameters;
}

float3 WrappedEllipticalDecider::center() const
{
    const EllipticalParameters &p = m_decider.parameters();
    return {p.centerX, p.centerY, p.centerZ};
}

void WrappedEllipticalDecider::shiftCenter(float x, float y, float z)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_decider.shiftCenter(x, y, z);
}

void WrappedEllipticalDecider::beginLearningParameters()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_learner.beginLearning(nullptr);
}

void WrappedEllipticalDecider::setAutoCalibrate(bool autoCalibrate)
{
    if (autoCalibrate == m_autoCalibrate)
        return;
    m_autoCalibrate = autoCalibrate;
    emit autoCalibrateChanged(autoCalibrate);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (autoCalibrate)
        m_learner.beginLearning(nullptr);
    else
        m_learner.stop();
}

QByteArray WrappedEllipticalDecider::serialize() const
{
    uint8_t out[kPacketSize] = {};
    const uint16_t type = kPushPacketType;
    std::memcpy(out, &type, sizeof type);
    m_decider.parameters().toBytes(out + kBlockOffset);
    const int32_t status = m_decider.status();
    std::memcpy(out + kStatusOffset, &status, sizeof status);
    std::memset(out + kPaddingOffset, 0xFF, kPaddingBytes);
    return QByteArray(reinterpret_cast<const char *>(out), kPacketSize);
}

bool WrappedEllipticalDecider::deserialize(const QByteArray &packet)
{
    // The logger sends 138 bytes; anything too short to hold the block and status is refused
    // whole rather than read past its end.
    if (packet.size() < kMinimumPacketSize)
        return false;
    const auto *in = reinterpret_cast<const uint8_t *>(packet.constData());
    uint16_t result = 0;
    std::memcpy(&result, in + kResultOffset, sizeof result);
    if (result != 0)
        return false;
    int32_t status = 0;
    std::memcpy(&status, in + kStatusOffset, sizeof status);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_decider.setParameters(EllipticalParameters::fromBytes(in + kBlockOffset));
        m_decider.setStatus(status);
    }
    emit parametersChanged();
    return true;
}

void WrappedEllipticalDecider::addSample(const XyzSampleTimestamped &sample)
{
    bool strengthChanged = false;
    bool updated = false;
    bool pulse = false;
    bool installed = false;
    float strength = 0.f;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const float3 raw{sample.x * 0.1f, sample.y * 0.1f, sample.z * 0.1f};
        const float3 f = m_smoother.update(raw, sample.timestamp);

        strength = m_strengthMeter.update(f);
        if (strength != m_signalStrength || std::isnan(strength) || std::isnan(m_signalStrength)) {
            m_signalStrength = strength;
            strengthChanged = true;
        }

        m_filteredSamples.push(f);
        if (m_filteredSamples.size() < kWarmUpSamples) {
            m_displayPoints.push(f);
            m_pointQuality.push(1.0f);
        } else {
            updated = true;
            if (m_autoCalibrate && !m_learner.busy() &&
                (m_decider.status() == 0 || m_decider.innerLimitSq() < kMinInnerLimitSq ||
                 m_decider.badPointCount() > kMaxBadPoints ||
                 m_decider.movesSinceLastPulse() > kMaxMovesWithoutPulse)) {
                qInfo() << "relearning because decider says quality is low";
                m_learner.beginLearning(&m_decider.parameters());
            }

            if (m_learner.busy()) {
                ParameterLearner::Sample ls;
                ls.x = f.x;
                ls.y = f.y;
                ls.z = f.z;
                ls.valid = 1;
                m_learner.step(ls, m_abortLearning);
                if (m_learner.stage() == ParameterLearner::Stage_Accepted) {
                    m_decider.setParameters(m_learner.buildParameters());
                    const float2 c = m_learner.centerInPlane();
                    const float2 *hull = m_learner.hullPoints();
                    m_hullPoints.resize(size_t(m_learner.hullPointCount()));
                    for (size_t i = 0; i < m_hullPoints.size(); ++i)
                        m_hullPoints[i] = {hull[i].x - c.x, hull[i].y - c.y};
                    installed = true;
                    qInfo() << "Local calibration updated";
                } else if (m_learner.stage() == ParameterLearner::Stage_Rejected) {
                    qInfo() << "Local calibration rejected";
                }
            }

            if (m_decider.status() == 1) {
                pulse = m_decider.addSample(f) == Decider::AddResult_Pulse;
                const float3 p = m_decider.projected();
                m_displayPoints.push(p);
                float q = 1.0f;
                const float dz = m_decider.deadZoneRadiusSq();
                if (dz > 0.0001f) {
                    const EllipticalParameters &params = m_decider.parameters();
                    q = std::min((p.x * p.x + p.y * p.y) / (2.f * dz),
                                 2.f - std::fabs((p.z - params.zMid) * params.zScale));
                }
                m_pointQuality.push(q);
            } else {
                m_displayPoints.push(f);
                m_pointQuality.push(1.0f);
            }
        }
    }
    // Signals go out after the lock is released, so a directly connected reader (the 3-D view,
    // a test) may take the mutex from its slot.
    if (strengthChanged)
        emit signalStrengthChanged(strength);
    if (installed)
        emit parametersChanged();
    if (pulse) {
        setPulseCount(pulseCount() + 1);
        emit pulsed(sample.timestamp);
    }
    if (updated)
        emit deciderUpdated();
}
