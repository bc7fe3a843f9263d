#pragma once

#include <QString>

// The FTDI D2XX library (ftd2xx.dll), loaded at run time: absent on machines without the
// vendor driver, in which case the EEPROM update and the adapter restart are unavailable.
namespace WindowsFtdiLibrary {
void load();
void unload();
bool isLoaded();

// Rewrites the strings of the adapter on `portName` with serial number `serialNumber`.
bool updateEeprom(const QString &portName, const QString &serialNumber);
// Resets every adapter the library can open; true when at least one reset succeeded.
bool restartAdapters();
}  // namespace WindowsFtdiLibrary
