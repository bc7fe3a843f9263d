#include "EndUseEngine.h"

#include "EndUseClassifier.h"
#include "FlowSegmenter.h"

EndUseEngine::Result EndUseEngine::analyse(const PulseLogTypes::TimestampedEntry *begin,
                                           const PulseLogTypes::TimestampedEntry *end, double litresPerPulse)
{
    const FlowSegmenter::Result segments = FlowSegmenter::segment(begin, end, litresPerPulse);
    return Result{EndUseClassifier::classify(segments), segments.litres};
}
