#include "Household.h"

#include "SeededRandom.h"

#include <algorithm>

namespace {

// Cisterns as the end-use surveys found them: old single-flush ones of 9–13 L, dual-flush ones
// whose full flush is 6–9 L, and high-efficiency single-flush ones of 4.8–6 L.
Household::Toilet drawToilet(SeededRandom &rng)
{
    Household::Toilet t;
    const double kind = rng.uniform();
    if (kind < 0.3) {
        t.fullFlushLitres = rng.uniform(9.0, 13.0);
    } else if (kind < 0.75) {
        t.fullFlushLitres = rng.uniform(6.0, 9.0);
        t.halfFlushLitres = std::max(4.8, t.fullFlushLitres * rng.uniform(0.55, 0.7));
    } else {
        t.fullFlushLitres = rng.uniform(4.8, 6.0);
    }
    // A full refill takes 40–90 s; the valve's rate is what that asks, within what valves do.
    const double refillSeconds = rng.uniform(40.0, 90.0);
    t.fillLitresPerMinute = std::clamp(t.fullFlushLitres * 60.0 / refillSeconds * 1.2, 8.0, 15.0);
    return t;
}

}  // namespace

Household Household::fromSeed(uint32_t seed)
{
    SeededRandom rng(SeededRandom::mix(uint64_t(seed) ^ 0x40B5E401Dull));
    Household h;
    // Household sizes of the surveyed single-family homes: most of one or two people.
    static const double kSizeShares[] = {0.25, 0.35, 0.15, 0.15, 0.10};
    double pick = rng.uniform();
    h.persons = 5;
    for (int n = 0; n < 5; ++n) {
        if (pick < kSizeShares[n]) {
            h.persons = n + 1;
            break;
        }
        pick -= kSizeShares[n];
    }
    const int toilets = std::min(3, rng.range(1, h.persons >= 3 ? 3 : 2));
    double shares = 0;
    for (int i = 0; i < toilets; ++i) {
        Toilet t = drawToilet(rng);
        t.share = i == 0 ? rng.uniform(1.5, 3.0) : rng.uniform(0.3, 1.0);  // one of them the main one
        shares += t.share;
        h.toilets.push_back(t);
    }
    for (Toilet &t : h.toilets)
        t.share /= shares;

    h.showerLitresPerMinute = rng.uniform(6.0, 12.0);
    h.faucetLitresPerMinute = rng.uniform(4.0, 8.0);

    h.clothesWasher = rng.chance(0.9);
    const bool frontLoader = rng.chance(0.6);
    h.washerFills = frontLoader ? rng.range(3, 5) : rng.range(2, 3);
    h.washerFillLitres = frontLoader ? rng.uniform(5.0, 12.0) : rng.uniform(15.0, 25.0);
    h.washerFillLitresPerMinute = rng.uniform(8.0, 15.0);

    h.dishwasher = rng.chance(0.75);
    h.dishwasherFills = rng.range(3, 6);
    h.dishwasherFillLitres = rng.uniform(1.0, 5.0);
    h.dishwasherFillLitresPerMinute = rng.uniform(3.0, 8.0);

    h.bathtub = rng.chance(h.persons >= 3 ? 0.7 : 0.3);
    h.bathLitresPerMinute = rng.uniform(10.0, 20.0);

    h.irrigation = rng.chance(0.4);
    const int zones = rng.range(2, 6);
    for (int z = 0; z < zones; ++z)
        h.zoneLitresPerMinute.push_back(rng.uniform(20.0, 60.0));
    h.zoneMinutes = rng.uniform(5.0, 20.0);
    h.irrigationStartHour = rng.uniform(5.0, 6.5);
    // Every day, every other day, or two fixed days a week.
    const double schedule = rng.uniform();
    h.irrigationWeekdays = schedule < 0.25 ? 0x7F : schedule < 0.6 ? 0x55 : uint8_t((1u << rng.range(0, 2)) | 0x20);

    h.dripLitresPerHour = rng.uniform(2.0, 10.0);
    h.flapperEveryMinutes = rng.uniform(10.0, 60.0);
    h.flapperLitres = rng.uniform(0.3, 2.0);

    h.wakeHour = rng.uniform(5.5, 8.0);
    h.bedHour = rng.uniform(21.5, 23.5);
    return h;
}
