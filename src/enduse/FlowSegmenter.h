#pragma once

#include "pulselog/PulseLogTypes.h"

#include <cstdint>
#include <vector>

// Cuts a pulse trace into the uses that made it, before anyone says what they were.
//
// Two passes over the entries, neither keeping more than the use being cut:
//  1. five-minute sums give the leak floor: water that never stopped for half an hour within
//     three hours either side, at the lowest half-hour rate seen there;
//  2. ten-second bins above that floor are cut where the water stops for more than half a minute.
//     Inside one such stretch the flow is split into plateaus, and each step up opens a use while
//     each step down closes the open use whose rate it matches best, so a tap run on top of a
//     shower, or a toilet refilling during a washer's fill, comes out as a use of its own. Every
//     bin's water is shared among the uses running in it in proportion to their rates: the
//     fragments and the leak spans add up to the trace's water exactly.
// Flows averaged over whole minutes cut the same way; only the edges blur to the minute.
class FlowSegmenter
{
public:
    using NanosI64 = TimeTypes::Epoch1970::NanosI64;
    using Entry = PulseLogTypes::TimestampedEntry;

    // One use as the trace shows it.
    struct Fragment {
        NanosI64 start = 0;
        NanosI64 end = 0;
        double litres = 0;
        double rate = 0;          // litres per minute while it ran on its own level
        double peak = 0;          // highest litres per minute of the whole trace while it ran
        bool overlapped = false;  // shared its time with another use
        bool tapered = false;     // the flow fell off over its last seconds (a cistern's float valve)
    };

    // Water under everything: a drip or a running cistern.
    struct LeakSpan {
        NanosI64 start = 0;
        NanosI64 end = 0;
        double litres = 0;
        double litresPerHour = 0;  // the floor's highest rate within the span
    };

    struct Result {
        std::vector<Fragment> fragments;  // by start
        std::vector<LeakSpan> leaks;
        double litres = 0;  // all the water of the entries
        // Nearly every use starts on the minute: a trace of per-minute flows, whose short uses
        // show their volume but not their rate.
        bool perMinute = false;
    };

    static constexpr NanosI64 kBinNs = 10'000'000'000LL;

    // Entries [begin, end) in time order; litresPerPulse > 0.
    static Result segment(const Entry *begin, const Entry *end, double litresPerPulse);
};
