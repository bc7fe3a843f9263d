#pragma once

#include <QString>
#include <QVariantMap>

#include <cstdint>

// The meter's volume units and the volume of one pulse derived from the meter readings in a
// log's metadata; the command line's counterpart of the viewer's flow displays (Units.js and
// ViewerRules.js), which must give the same numbers.
class MeterUnits
{
public:
    // The amount in gallons, NaN for a unit the program does not know.
    static double toGallons(double amount, const QString &unit);
    // Gallons per pulse when "Meter Reading Unit", "Meter Reading Start" and "Meter Reading End"
    // are all present, the start lies below the end and the log has pulses; NaN otherwise.
    static double gallonsPerPulse(const QVariantMap &metaData, int64_t totalPulses);
};
