#pragma once

#include "PortInfo.h"

#include <QString>
#include <QStringList>

// The product's own adapter: the strings its EEPROM carries and the ones still accepted from
// other generations of it.
namespace AdapterIdentity {
extern const char *const kProductManufacturer;  // "Ombrellix"
extern const char *const kProductDescription;   // "Tarrowind USB Adapter"
extern const char *const kDescriptionPrefix;    // compared on the UTF-8 bytes
QStringList acceptedManufacturers();            // compared without regard to case
QStringList acceptedDescriptions();             // compared exactly

// ORs `autodetected` and `eepromFixNeeded` of `info` with the verdict on the strings.
void classify(const QString &manufacturer, const QString &product, PortInfo &info);

// The EEPROM strings an adapter must end up with, and whether anything has to be written.
// An FT232R also gets its high-current I/O option once it is rewritten anyway.
struct StringUpdate {
    bool changed = false;
    QString manufacturer;
    QString description;
    bool highCurrent = false;
};
StringUpdate planStringUpdate(const QString &manufacturer, const QString &description, bool isFt232R, bool highCurrent);
}  // namespace AdapterIdentity
