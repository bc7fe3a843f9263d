#pragma once

#include <cstdint>
#include <vector>

#include "common/TimeTypes.h"
#include "PulseBlockEncoder.h"

// A seeded model of a household's water use as the logger's meter sees it: quiet nights, toilet
// flushes, showers in the morning, taps through the day, appliance fill cycles, garden
// irrigation on some days and, optionally, a small continuous leak. Also the logger's
// environment readings (battery voltage and meter-pit temperature).
//
// Everything is a pure function of the options and the asked time range, so two profiles with the
// same seed produce the same pulses. Each local day draws its events from its own generator, so a
// day looks the same whichever range it is asked in.
class WaterUseProfile
{
public:
    struct Options {
        uint32_t seed = 1;
        bool leak = false;
        double litresPerPulse = 0.1;  // one revolution of the meter's magnetic drive
        int utcOffsetMinutes = 60;    // local time of the household
    };

    enum class Use { Flush, Shower, Tap, Appliance, Irrigation, Leak };

    // Water running at a constant rate over [startTenths, endTenths) (tenths of a second since
    // 1970).
    struct Flow {
        int64_t startTenths = 0;
        int64_t endTenths = 0;
        double litresPerMinute = 0;
        Use use = Use::Tap;
    };

    struct Environment {
        double volts = 0;
        double celsius = 0;
    };

    WaterUseProfile();
    explicit WaterUseProfile(const Options &options);

    const Options &options() const { return m_options; }

    // Every flow overlapping [startTenths, endTenths), clipped to it, sorted by start.
    std::vector<Flow> flows(int64_t startTenths, int64_t endTenths) const;

    // The meter's pulses over [startTenths, endTenths): one per litresPerPulse of water, in time
    // order, at most one element per tenth (count >= 1). The meter starts the range at rest
    // position.
    std::vector<PulseBlockEncoder::Pulse> pulses(int64_t startTenths, int64_t endTenths) const;

    // Reading at a time: the temperature follows the day, the battery slowly drains and sags a
    // little in the cold; both carry a small deterministic noise.
    Environment environmentAt(TimeTypes::Epoch1970::NanosI64 time) const;

    static constexpr int64_t kTenthsPerMinute = 600;
    static constexpr int64_t kTenthsPerDay = 864000;

private:
    void dayFlows(int64_t localDay, std::vector<Flow> &out) const;

    Options m_options;
};
