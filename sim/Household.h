#pragma once

#include <cstdint>
#include <vector>

// What a virtual home has and how its people use water, drawn once from a seed: the fixtures
// (toilets with their own flush volumes and fill valves, shower heads, taps), which appliances it
// owns, whether it waters a garden, and its daily rhythm. Everything the day-by-day model of
// WaterUseProfile draws later is drawn around these.
//
// The ranges follow published residential end-use studies (North American REUS 1999 and 2016,
// the South-East Queensland and Yarra Valley end-use studies, UK and European micro-component
// surveys), not any classifier's rules.
class Household
{
public:
    struct Toilet {
        double fullFlushLitres = 0;   // 4.8–13 L; older cisterns hold more
        double halfFlushLitres = 0;   // dual-flush cisterns; 0 for single flush
        double fillLitresPerMinute = 0;  // the fill valve's full-open rate, 8–15 L/min
        double share = 0;             // of the home's flushes
    };

    int persons = 1;                  // 1–5
    std::vector<Toilet> toilets;      // 1–3
    double showerLitresPerMinute = 0; // the main shower head, 6–12 L/min
    double faucetLitresPerMinute = 0; // a typical kitchen/bathroom tap fully open, 4–8 L/min
    bool clothesWasher = false;
    double washerFillLitresPerMinute = 0;  // 8–15 L/min
    int washerFills = 0;              // 2–5 fills a cycle
    bool dishwasher = false;
    int dishwasherFills = 0;          // 3–6 fills a cycle
    bool bathtub = false;             // some bath fills a week (children's baths above all)
    bool irrigation = false;          // an automatic system running early mornings
    int irrigationZones = 0;          // 2–6, run in sequence
    std::vector<double> zoneLitresPerMinute;  // 20–60 L/min each
    uint8_t irrigationWeekdays = 0;   // bit d set: the system runs on weekday d (0 = Monday)
    double dripLitresPerHour = 0;     // a constant leak when the profile has one, 2–10 L/h
    double flapperEveryMinutes = 0;   // a leaking flapper's refills when the profile has one,
    double flapperLitres = 0;         // every 10–60 min, 0.3–2 L each
    double wakeHour = 7;              // local hour the home wakes (5.5–8)
    double bedHour = 23;              // local hour the home goes quiet (21.5–23.5)

    static Household fromSeed(uint32_t seed);
};
