#pragma once

#include "EndUseTypes.h"
#include "FlowSegmenter.h"

#include <vector>

// Says what each use the segmenter cut was, from its volume, duration, rates and shape and from
// what the same home does again and again: a toilet's cistern fills to the same volume at its
// valve's rate every time, a shower head gives the same flow every morning, an appliance fills
// at its own valve's rate in a regular rhythm, a leaking flapper tops up the cistern with the
// same small volume every so many minutes. Those repeats are learned from the trace alone (no
// labels, no settings per home). Every fragment ends up in exactly one event, so the events add
// up to the trace's water.
class EndUseClassifier
{
public:
    static std::vector<EndUse::Event> classify(const FlowSegmenter::Result &segments);
};
