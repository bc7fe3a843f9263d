#pragma once

#include "PortInfo.h"

#include <QString>

// The platform half of port enumeration and adapter repair. Windows: SetupAPI, USB hub string
// descriptors, the FTDI bus registry keys and the D2XX library. Linux: libudev, libftdi1 and
// the program's udev rule installed through pkexec.

// Every serial port of the machine with what is known about its adapter. Runs in a pool thread;
// touches no shared state except the read-only serial support.
PortInfoMap enumeratePorts();

// Rewrites the adapter's EEPROM strings to the product's own. The port must be closed.
bool ftdiUpdateEeprom(const QString &portName, const QString &serialNumber);

// Runs the driver repair in an elevated copy of this program ("fixftdi" mode) and waits for it.
// Whatever the copy reports ends up in repairLogPath().
bool FixFtdi(const QString &elevatedFixPath);

// The elevated repair's log in the user's application data folder.
QString repairLogPath();

// The repair itself, run by the elevated copy. Refuses any argument it does not recognise
// before it touches anything.
bool ftdiElevatedFix(const QString &elevatedFixPath);
