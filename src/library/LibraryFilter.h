#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// Which rows a listing wants and in what order. The default order is the fleet view's: leaks
// first, then the newest last pulse.
struct LibraryFilter {
    enum class Column { Default, Serial, DeviceName, JobName, FirstPulse, LastPulse, Volume, NightMinimum, Leak };

    bool leaksOnly = false;
    QString serial;                 // exact
    QString text;                   // part of the serial, device or job (site) name, any case
    std::optional<int64_t> fromMs;  // logs overlapping [from, to]
    std::optional<int64_t> toMs;
    Column sortColumn = Column::Default;
    bool descending = false;
    int offset = 0;
    int limit = -1;  // all
};
