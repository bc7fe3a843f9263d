#include "AdapterIdentity.h"

namespace AdapterIdentity {
const char *const kProductManufacturer = "Ombrellix";
const char *const kProductDescription = "Tarrowind USB Adapter";
const char *const kDescriptionPrefix = "Tarrowind";

QStringList acceptedManufacturers()
{
    return {QStringLiteral("Feldspire"), QStringLiteral("Tarrowind")};
}

QStringList acceptedDescriptions()
{
    return {QStringLiteral("Tarrowind"), QStringLiteral("Kestrelcove USB Adapter")};
}

void classify(const QString &manufacturer, const QString &product, PortInfo &info)
{
    const bool prefixMatch = product.toUtf8().startsWith(QByteArray(kDescriptionPrefix));
    const bool accepted = prefixMatch || acceptedDescriptions().contains(product, Qt::CaseSensitive) ||
                          acceptedManufacturers().contains(manufacturer, Qt::CaseInsensitive);
    const bool ours = manufacturer == QLatin1String(kProductManufacturer);
    info.autodetected = info.autodetected || ours || accepted;
    info.eepromFixNeeded = info.eepromFixNeeded || !ours || !prefixMatch;
}

StringUpdate planStringUpdate(const QString &manufacturer, const QString &description, bool isFt232R, bool highCurrent)
{
    StringUpdate update;
    update.manufacturer = manufacturer;
    update.description = description;
    update.highCurrent = highCurrent;
    if (manufacturer != QLatin1String(kProductManufacturer)) {
        update.manufacturer = QLatin1String(kProductManufacturer);
        update.changed = true;
    }
    if (description != QLatin1String(kProductDescription)) {
        update.description = QLatin1String(kProductDescription);
        update.changed = true;
    }
    if (update.changed && isFt232R)
        update.highCurrent = true;
    return update;
}
}  // namespace AdapterIdentity
