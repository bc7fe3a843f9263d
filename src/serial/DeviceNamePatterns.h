#pragma once

#include <QString>

// The Windows device names the port enumeration reads: a port's friendly name such as
// "USB Serial Port (COM7)" and a USB location such as "Port_#0002.Hub_#0003".
namespace DeviceNamePatterns {
// Compiles both patterns; start-up calls it so the enumeration threads only read them.
void compile();
// "COM7" from "USB Serial Port (COM7)"; empty when the name does not end that way.
QString portNameFromDeviceName(const QString &deviceName);
// The hub port number of a location, or -1.
int hubPortFromLocation(const QString &location);
}  // namespace DeviceNamePatterns
