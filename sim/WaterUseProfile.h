#pragma once

#include <cstdint>
#include <vector>

#include "common/TimeTypes.h"
#include "Household.h"
#include "PulseBlockEncoder.h"

// A seeded model of a household's water use as the logger's meter sees it, with the ground truth
// of every use: the home (Household) is drawn from the seed, then each local day draws its uses
// from published residential end-use statistics (see WaterUseProfile.cpp): toilet flushes with a
// tapering refill, showers with pauses, many short faucet draws around meals, clothes-washer and
// dishwasher fill cycles, bath fills, early-morning irrigation runs zone after zone, and
// optionally a constant drip or a leaking toilet flapper. Uses are independent draws, so they
// overlap as they fall; the meter sees the sum. Also the logger's environment readings (battery
// voltage and meter-pit temperature).
//
// Everything is a pure function of the options and the asked time range (no I/O), so two
// profiles with the same seed produce the same pulses and uses. Each local day draws its uses
// from its own generator, so a day looks the same whichever range it is asked in.
//
// Ground-truth granularity (one UseInstance each): one flush (fill and refill tail); one shower
// including its pauses; one faucet draw; one clothes-washer or dishwasher cycle, from its first
// fill's start to its last fill's end; one bath fill; one irrigation run (all zones in sequence);
// a constant drip is one instance over each continuous span asked; each refill of a leaking
// flapper is one `leak` instance.
class WaterUseProfile
{
public:
    struct Options {
        uint32_t seed = 1;
        bool leak = false;            // a constant drip: at least 24 hours of continuous flow
        bool flapper = false;         // a leaking toilet flapper: a small refill every 10–60 minutes
        double litresPerPulse = 0.1;  // one revolution of the meter's magnetic drive
        int utcOffsetMinutes = 60;    // local time of the household
    };

    // Keys as the JSON ground truth names them (key()).
    enum class Use { Toilet, Shower, Faucet, ClothesWasher, Dishwasher, Bathtub, Irrigation, Leak, Other };
    static constexpr int kUseCount = 9;
    static const char *key(Use use);  // "toilet", "shower", "faucet", "clothesWasher", ...

    // Water running at a constant rate over [startTenths, endTenths) (tenths of a second since
    // 1970), one segment of use instance `instance` (unique within the household). A use is
    // one or more segments: a flush's fill and tapering tail, an appliance's fills, a shower's
    // runs between pauses.
    struct Flow {
        int64_t startTenths = 0;
        int64_t endTenths = 0;
        double litresPerMinute = 0;
        Use use = Use::Faucet;
        uint64_t instance = 0;
    };

    // One use as it happened: from its first segment's start to its last segment's end, and the
    // litres it drew, both within the asked range.
    struct UseInstance {
        Use use = Use::Faucet;
        uint64_t instance = 0;
        int64_t startTenths = 0;
        int64_t endTenths = 0;
        double litres = 0;
    };

    struct Environment {
        double volts = 0;
        double celsius = 0;
    };

    WaterUseProfile();
    explicit WaterUseProfile(const Options &options);

    const Options &options() const { return m_options; }
    const Household &household() const { return m_household; }

    // Every flow segment overlapping [startTenths, endTenths), clipped to it, sorted by start.
    std::vector<Flow> flows(int64_t startTenths, int64_t endTenths) const;

    // Every use instance with water inside [startTenths, endTenths), clipped to it, sorted by
    // start: the ground truth of pulses() over the same range.
    std::vector<UseInstance> uses(int64_t startTenths, int64_t endTenths) const;

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
    Household m_household;
};
