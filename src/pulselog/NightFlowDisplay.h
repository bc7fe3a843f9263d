#pragma once

#include <QString>
#include <QVariantMap>

#include <cstdint>

class PulseLog;

// The night flows in the viewer's default display: gallons per minute when the meter readings
// give a volume per pulse, else revolutions per hour. Shared by `log-info` and the library so a
// night minimum reads the same wherever it is shown.
struct NightFlowDisplay {
    QString unit;
    bool volume = false;
    double perHourlyPulse = 1;

    NightFlowDisplay(const QVariantMap &metaData, int64_t totalPulses);
    explicit NightFlowDisplay(const PulseLog &log);

    double value(uint64_t hourlyPulses) const { return double(hourlyPulses) * perHourlyPulse; }
    QString text(uint64_t hourlyPulses) const;
};
