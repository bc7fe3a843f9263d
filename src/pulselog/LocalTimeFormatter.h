#pragma once

#include <cstdint>

// Turns UTC milliseconds into local civil time quickly enough for millions of export rows:
// the zone offset is asked from Qt once per quarter hour of log time (a zone transition is
// detected by comparing both ends of the quarter) and dates are formatted once per day.
class LocalTimeFormatter
{
public:
    struct Civil {
        int year, month, day, hour, minute, second, millisecond;
    };

    int64_t toLocalMillis(int64_t utcMillis);
    Civil civil(int64_t utcMillis);

    // Fixed-width writers; each returns the position after what it wrote.
    char *writeIsoDate(char *out, int64_t utcMillis);  // yyyy-MM-dd
    char *writeIsoTime(char *out, int64_t utcMillis);  // HH:mm:ss
    // M/d/yyyy h:mm:ss
    char *writeUsDateTime(char *out, int64_t utcMillis);

    static Civil civilFromLocalMillis(int64_t localMillis);
    static int64_t floorDiv(int64_t a, int64_t b);
    static int64_t floorMod(int64_t a, int64_t b) { return a - floorDiv(a, b) * b; }

private:
    static int offsetSecondsAt(int64_t utcMillis);

    int64_t m_quarterStart = INT64_MIN;
    bool m_quarterUniform = false;
    int m_quarterOffsetMs = 0;

    int64_t m_cachedDay = INT64_MIN;
    char m_cachedDate[10] = {};
    Civil m_cachedDayCivil{};
};
