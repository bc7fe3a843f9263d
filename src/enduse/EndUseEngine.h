#pragma once

#include "EndUseTypes.h"
#include "pulselog/PulseLogTypes.h"

#include <vector>

// Where the water went: the uses of a pulse trace, cut (FlowSegmenter) and classified
// (EndUseClassifier). Works over a range of a log's entries without copying them.
class EndUseEngine
{
public:
    struct Result {
        std::vector<EndUse::Event> events;  // by start
        double litres = 0;                  // all the water of the range
    };

    // Entries [begin, end) in time order; litresPerPulse must be positive.
    static Result analyse(const PulseLogTypes::TimestampedEntry *begin, const PulseLogTypes::TimestampedEntry *end,
                          double litresPerPulse);
};
