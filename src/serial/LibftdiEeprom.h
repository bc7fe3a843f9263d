#pragma once

#include <QString>

// The EEPROM string update through libftdi1: the adapter is found by the USB bus and address
// of the port's device and its serial number, read, decoded, changed and written only when
// its strings differ, then reset so that it re-enumerates with them.
namespace LibftdiEeprom {
bool updateProductStrings(const QString &portName, const QString &serialNumber);
}
