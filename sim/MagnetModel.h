#pragma once

#include "common/TimeTypes.h"
#include "common/XyzSample.h"

#include <QByteArray>

#include <cstdint>
#include <random>
#include <vector>

// Shape of the field a meter's rotating drive magnet produces at the logger's magnetometer,
// in raw counts (one count = 0.1 sample unit). The magnet turns in a plane: the field
// traces an ellipse with semi-axes radiusA and radiusB, the plane is tilted by tiltDegrees
// about the x axis and turned by headingDegrees about z, shifted by the offset (the earth's
// field and the meter's iron), and every axis carries Gaussian noise of `noise` counts.
struct MagnetParameters {
    double revPerSecond = 1.0;  // negative: the meter runs backwards
    double radiusA = 3000.0;
    double radiusB = 2000.0;
    double tiltDegrees = 25.0;
    double headingDegrees = 40.0;
    double offsetX = 400.0;
    double offsetY = -250.0;
    double offsetZ = 900.0;
    double noise = 12.0;
};

// The modelled magnet. Time only moves forward; the rotation rate may change at any moment
// and the phase stays continuous, so revolutions() is the exact count a perfect decider
// would report. Not thread-safe.
class MagnetModel
{
public:
    explicit MagnetModel(const MagnetParameters &parameters = {}, uint32_t seed = 1);

    const MagnetParameters &parameters() const { return m_parameters; }
    void setRevPerSecond(double revPerSecond);

    // Advances the magnet to `seconds` (monotonic, from the model's start) and returns the
    // field measured there. A time before the last one does not turn the magnet back, but
    // measures the field where the magnet was then (at the current rate).
    XyzSample sampleAt(double seconds);
    // Turns the magnet on to `seconds` without measuring.
    void advanceTo(double seconds);

    // Signed revolutions turned since the start (fractional).
    double revolutions() const { return m_turns; }
    // Whole revolutions completed in the forward direction minus those backwards.
    int64_t completeRevolutions() const;

    // The noise-free field at rotation angle `turns` (in revolutions).
    XyzSample fieldAtPhase(double turns) const;

    // One 520-byte sample block as the logger records magnetometer samples: u32 magic
    // 0x2B947815 at 0, u8 0 at 4, i64 base time (ns) at 8, then 57 entries of 8 bytes from
    // offset 60: x, y, z (i16) and the u16 time step to the entry in 1/1024 s. Entry i's
    // time is base + the sum of the steps up to i (each step worth 976562.5 ns). Samples past
    // the 57th are not taken; missing entries repeat the last sample with a zero step.
    static constexpr int kSampleBlockSize = 520;
    static constexpr int kSampleBlockEntries = 57;
    static constexpr uint32_t kSampleBlockMagic = 0x2B947815u;
    static QByteArray encodeSampleBlock(TimeTypes::Epoch1970::NanosI64 baseTime,
                                        const std::vector<XyzSampleTimestamped> &samples);

private:
    MagnetParameters m_parameters;
    std::mt19937 m_rng;
    std::normal_distribution<double> m_gauss{0.0, 1.0};
    double m_lastSeconds = 0.0;
    double m_turns = 0.0;
};
