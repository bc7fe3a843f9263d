#include "MeterUnits.h"

#include <cmath>
#include <limits>

namespace {
struct Unit {
    const char *name;
    double gallons;
};
const Unit kUnits[] = {
    {"Gallons", 1},           {"CCF", 748.0519480519}, {"CF", 7.480519480519}, {"Cubic Meters", 264.17205236},
    {"Liters", 0.2641720524},
};

bool present(const QVariant &v)
{
    return v.isValid() && !v.isNull() && !v.toString().trimmed().isEmpty();
}
}  // namespace

double MeterUnits::toGallons(double amount, const QString &unit)
{
    for (const Unit &u : kUnits) {
        if (unit == QLatin1String(u.name))
            return amount * u.gallons;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

double MeterUnits::gallonsPerPulse(const QVariantMap &metaData, int64_t totalPulses)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const QVariant unit = metaData.value(QStringLiteral("Meter Reading Unit"));
    const QVariant start = metaData.value(QStringLiteral("Meter Reading Start"));
    const QVariant end = metaData.value(QStringLiteral("Meter Reading End"));
    if (!present(unit) || !present(start) || !present(end) || totalPulses <= 0)
        return nan;
    bool okStart = false, okEnd = false;
    const double s = start.toString().trimmed().toDouble(&okStart);
    const double e = end.toString().trimmed().toDouble(&okEnd);
    if (!okStart || !okEnd || !std::isfinite(s) || !std::isfinite(e) || !(s < e))
        return nan;
    return toGallons((e - s) / double(totalPulses), unit.toString());
}
