#pragma once

#include "PortInfo.h"

#include <QString>
#include <QStringList>

// Linux port enumeration through libudev: every tty device with a USB parent, named by its
// device node, with the USB device's own manufacturer, product and serial strings.
namespace UdevPortEnumerator {
// `extraPorts`: paths listed as well when they exist (the virtual logger's link), taken as the
// logger's line. `ruleFolders`: where udev reads rules (UdevRule::isInstalled).
PortInfoMap enumerate(const QStringList &extraPorts, const QStringList &ruleFolders);

// The paths named by TW_EXTRA_PORTS (colon-separated).
QStringList extraPortsFromEnvironment();

// The USB device behind a port: bus number, device address and serial string.
struct UsbLocation {
    int bus = -1;
    int address = -1;
    QString serialNumber;
};
// False when the port is not a USB device.
bool usbLocationOfPort(const QString &portPath, UsbLocation *location);
}  // namespace UdevPortEnumerator
