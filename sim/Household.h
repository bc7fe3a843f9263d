#pragma once

#include <cstdint>
#include <vector>

// What a virtual home has and how its people use water, drawn once from a seed: the fixtures
// (toilets with their own flush volumes and fill valves, the shower head, taps), which
// appliances it owns, whether it waters a garden, and its daily rhythm. WaterUseProfile draws
// each day's uses around these.
//
// The ranges follow published residential end-use studies (Residential End Uses of Water, AWWA
// Research Foundation 1999 and Water Research Foundation 2016; the South-East Queensland
// residential end use study, Beal and Stewart 2011), never an end-use classifier's rules.
class Household
{
public:
    struct Toilet {
        double fullFlushLitres = 0;      // 4.8–13 L; older cisterns hold more
        double halfFlushLitres = 0;      // dual-flush cisterns (at least 4.8 L); 0 for single flush
        double fillLitresPerMinute = 0;  // the fill valve fully open, 8–15 L/min
        double share = 0;                // of the home's flushes; the shares add up to 1
    };

    int persons = 1;                   // 1–5
    std::vector<Toilet> toilets;       // 1–3
    double showerLitresPerMinute = 0;  // the shower head, 6–12 L/min
    double faucetLitresPerMinute = 0;  // a tap fully open, 4–8 L/min
    bool clothesWasher = false;
    int washerFills = 0;                   // 2–5 a cycle
    double washerFillLitres = 0;           // 5–25 L: front loaders little, top loaders much
    double washerFillLitresPerMinute = 0;  // 8–15 L/min
    bool dishwasher = false;
    int dishwasherFills = 0;          // 3–6 a cycle
    double dishwasherFillLitres = 0;  // 1–5 L
    double dishwasherFillLitresPerMinute = 0;
    bool bathtub = false;                     // baths taken now and then (children's above all)
    double bathLitresPerMinute = 0;           // 10–20 L/min
    bool irrigation = false;                  // an automatic system run in the early morning
    std::vector<double> zoneLitresPerMinute;  // 2–6 zones in sequence, 20–60 L/min each
    double zoneMinutes = 0;                   // each zone's run time
    double irrigationStartHour = 0;
    uint8_t irrigationWeekdays = 0;  // bit d set: it runs on weekday d (0 = Monday)
    double dripLitresPerHour = 0;    // a constant leak when the profile has one: 2–10 L/h
    double flapperEveryMinutes = 0;  // a leaking flapper's refills when the profile has
    double flapperLitres = 0;        // one: every 10–60 min, 0.3–2 L each
    double wakeHour = 7;             // local hour the home wakes (5.5–8)
    double bedHour = 23;             // local hour it goes quiet (21.5–23.5)

    static Household fromSeed(uint32_t seed);
};
