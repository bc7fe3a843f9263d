#include "PortInfo.h"

namespace {
void fillIfEmpty(QString &target, const QString &source)
{
    if (target.isEmpty())
        target = source;
}
}  // namespace

void mergePortInfo(PortInfoMap &ports, const QString &portName, const PortInfo &info)
{
    auto it = ports.find(portName);
    if (it == ports.end()) {
        ports.insert(portName, info);
        return;
    }
    PortInfo &known = it.value();
    fillIfEmpty(known.manufacturer, info.manufacturer);
    fillIfEmpty(known.product, info.product);
    fillIfEmpty(known.serialNumber, info.serialNumber);
    fillIfEmpty(known.elevatedFixPath, info.elevatedFixPath);
    known.eepromFixNeeded = known.eepromFixNeeded || info.eepromFixNeeded;
    known.autodetected = known.autodetected || info.autodetected;
}

QVariantMap portInfoToVariantMap(const PortInfo &info)
{
    QVariantMap map;
    map.insert(QStringLiteral("manufacturer"), info.manufacturer);
    map.insert(QStringLiteral("product"), info.product);
    map.insert(QStringLiteral("serialNumber"), info.serialNumber);
    map.insert(QStringLiteral("elevatedFixPath"), info.elevatedFixPath);
    map.insert(QStringLiteral("eepromFixNeeded"), info.eepromFixNeeded);
    map.insert(QStringLiteral("autodetectedTarrowind"), info.autodetected);
    return map;
}

QVariantMap portInfoMapToVariantMap(const PortInfoMap &ports)
{
    QVariantMap map;
    for (auto it = ports.cbegin(); it != ports.cend(); ++it)
        map.insert(it.key(), portInfoToVariantMap(it.value()));
    return map;
}
