#include "MagnetModel.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
constexpr double kTwoPi = 6.283185307179586;

int16_t saturate(double v)
{
    return int16_t(std::lround(std::clamp(v, -32768.0, 32767.0)));
}
}  // namespace

MagnetModel::MagnetModel(const MagnetParameters &parameters, uint32_t seed) : m_parameters(parameters), m_rng(seed) {}

void MagnetModel::setRevPerSecond(double revPerSecond)
{
    m_parameters.revPerSecond = revPerSecond;
}

void MagnetModel::advanceTo(double seconds)
{
    if (seconds > m_lastSeconds) {
        m_turns += m_parameters.revPerSecond * (seconds - m_lastSeconds);
        m_lastSeconds = seconds;
    }
}

XyzSample MagnetModel::sampleAt(double seconds)
{
    advanceTo(seconds);
    // A sensor's FIFO drained after a stall holds samples taken while the magnet kept turning:
    // each shows the magnet where it was at its own time, not where it is now.
    const double turns = m_turns - m_parameters.revPerSecond * (m_lastSeconds - seconds);
    XyzSample s = fieldAtPhase(turns);
    if (m_parameters.noise > 0.0) {
        s.x = saturate(s.x + m_gauss(m_rng) * m_parameters.noise);
        s.y = saturate(s.y + m_gauss(m_rng) * m_parameters.noise);
        s.z = saturate(s.z + m_gauss(m_rng) * m_parameters.noise);
    }
    return s;
}

int64_t MagnetModel::completeRevolutions() const
{
    return int64_t(std::trunc(m_turns));
}

XyzSample MagnetModel::fieldAtPhase(double turns) const
{
    const double angle = kTwoPi * (turns - std::floor(turns));
    const double u = m_parameters.radiusA * std::cos(angle);
    const double v = m_parameters.radiusB * std::sin(angle);
    // Tilt the rotation plane about x, then turn it about z.
    const double tilt = m_parameters.tiltDegrees * kTwoPi / 360.0;
    const double heading = m_parameters.headingDegrees * kTwoPi / 360.0;
    const double x1 = u;
    const double y1 = v * std::cos(tilt);
    const double z1 = v * std::sin(tilt);
    const double x = x1 * std::cos(heading) - y1 * std::sin(heading);
    const double y = x1 * std::sin(heading) + y1 * std::cos(heading);
    XyzSample s;
    s.x = saturate(x + m_parameters.offsetX);
    s.y = saturate(y + m_parameters.offsetY);
    s.z = saturate(z1 + m_parameters.offsetZ);
    return s;
}

QByteArray MagnetModel::encodeSampleBlock(TimeTypes::Epoch1970::NanosI64 baseTime,
                                          const std::vector<XyzSampleTimestamped> &samples)
{
    QByteArray block(kSampleBlockSize, '\0');
    uchar *p = reinterpret_cast<uchar *>(block.data());
    qToLittleEndian<quint32>(kSampleBlockMagic, p);
    qToLittleEndian<qint64>(baseTime, p + 8);
    // Steps are chosen against the time the reader will reconstruct (not the ideal one), so
    // rounding never accumulates over the block.
    int64_t reconstructed = baseTime;
    XyzSample last;
    for (int i = 0; i < kSampleBlockEntries; ++i) {
        uint16_t step = 0;
        if (i < int(samples.size())) {
            const auto &s = samples[size_t(i)];
            last = s.sample();
            const double wanted = double(s.timestamp - reconstructed) / 976562.5;
            step = uint16_t(std::clamp<double>(std::round(wanted), 0.0, 65535.0));
            reconstructed += (int64_t(step) * 1953125) >> 1;
        }
        uchar *e = p + 60 + 8 * i;
        qToLittleEndian<qint16>(last.x, e);
        qToLittleEndian<qint16>(last.y, e + 2);
        qToLittleEndian<qint16>(last.z, e + 4);
        qToLittleEndian<quint16>(step, e + 6);
    }
    return block;
}
