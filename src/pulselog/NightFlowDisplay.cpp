#include "NightFlowDisplay.h"

#include "MeterUnits.h"
#include "PulseLog.h"

#include <cmath>

NightFlowDisplay::NightFlowDisplay(const QVariantMap &metaData, int64_t totalPulses)
{
    const double gallons = MeterUnits::gallonsPerPulse(metaData, totalPulses);
    volume = std::isfinite(gallons) && gallons > 0;
    unit = volume ? QStringLiteral("Gallons per Minute") : QStringLiteral("Revolutions per Hour");
    perHourlyPulse = volume ? gallons / 60.0 : 1.0;
}

NightFlowDisplay::NightFlowDisplay(const PulseLog &log) : NightFlowDisplay(log.metaData(), log.totalPulseCount()) {}

QString NightFlowDisplay::text(uint64_t hourlyPulses) const
{
    return QString::number(value(hourlyPulses), 'f', volume ? 4 : 0);
}
