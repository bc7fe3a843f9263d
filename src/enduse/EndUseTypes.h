#pragma once

#include "common/TimeTypes.h"

#include <QString>

#include <array>
#include <vector>

namespace EndUse {
using NanosI64 = TimeTypes::Epoch1970::NanosI64;

enum class Use { Toilet, Shower, Faucet, ClothesWasher, Dishwasher, Bathtub, Irrigation, Leak, Other };
constexpr int kUseCount = 9;
constexpr std::array<Use, kUseCount> kUses = {Use::Toilet,        Use::Shower,     Use::Faucet,
                                              Use::ClothesWasher, Use::Dishwasher, Use::Bathtub,
                                              Use::Irrigation,    Use::Leak,       Use::Other};

// The key files and JSON carry ("clothesWasher"); it never changes with the language.
QString key(Use use);

// A stretch of one use during which its water ran.
struct Part {
    NanosI64 start = 0;
    NanosI64 end = 0;
    double litres = 0;
};

// One use of water: from the moment it started to the moment it stopped.
struct Event {
    NanosI64 start = 0;
    NanosI64 end = 0;
    Use use = Use::Other;
    double litres = 0;
    double peakLitresPerMinute = 0;
    // Where the water of a use that stops and starts again ran (an appliance's fills, a
    // shower's runs between pauses, an irrigation run's zones); empty for a use of one run.
    std::vector<Part> parts;
};
}  // namespace EndUse
