#pragma once

#include <QMap>
#include <QString>
#include <QVariantMap>

// What the enumeration knows about one serial port and its USB adapter.
struct PortInfo {
    QString manufacturer;
    QString product;
    QString serialNumber;
    // Non-empty when the adapter's driver settings need the elevated repair: the text handed to
    // the elevated copy of the program.
    QString elevatedFixPath;
    bool eepromFixNeeded = false;
    bool autodetected = false;
};

// Ordered by port name.
using PortInfoMap = QMap<QString, PortInfo>;

// Adds one found port. A name seen before keeps its non-empty strings, fills the empty ones
// from `info`, and ORs the flags: one adapter can show up as several device entries.
void mergePortInfo(PortInfoMap &ports, const QString &portName, const PortInfo &info);

// The map the user interface binds to: "manufacturer", "product", "serialNumber",
// "elevatedFixPath", "eepromFixNeeded", "autodetectedTarrowind".
QVariantMap portInfoToVariantMap(const PortInfo &info);
// Port name -> the map above.
QVariantMap portInfoMapToVariantMap(const PortInfoMap &ports);
