#include "UdevPortEnumerator.h"

#include "AdapterIdentity.h"
#include "UdevRule.h"

#include <QFile>
#include <QFileInfo>

#include <libudev.h>
#include <unistd.h>

#include <memory>

namespace {
struct UdevDeleter {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

QString sysattr(udev_device *device, const char *name)
{
    const char *value = udev_device_get_sysattr_value(device, name);
    return value ? QString::fromUtf8(value) : QString();
}

udev_device *usbParent(udev_device *tty)
{
    return udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
}
}  // namespace

namespace UdevPortEnumerator {

QStringList extraPortsFromEnvironment()
{
    const QString value = QString::fromLocal8Bit(qgetenv("TW_EXTRA_PORTS"));
    return value.split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

PortInfoMap enumerate(const QStringList &extraPorts, const QStringList &ruleFolders)
{
    PortInfoMap ports;
    UdevPtr context(udev_new());
    if (context) {
        EnumeratePtr scan(udev_enumerate_new(context.get()));
        if (scan && udev_enumerate_add_match_subsystem(scan.get(), "tty") >= 0 &&
            udev_enumerate_scan_devices(scan.get()) >= 0) {
            const bool ruleInstalled = UdevRule::isInstalled(ruleFolders);
            udev_list_entry *entry = nullptr;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get()))
            {
                DevicePtr tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
                if (!tty)
                    continue;
                const char *node = udev_device_get_devnode(tty.get());
                udev_device *usb = usbParent(tty.get());  // owned by `tty`
                if (!node || !usb)
                    continue;
                PortInfo info;
                // The kernel's copies of the USB string descriptors, i.e. the EEPROM strings.
                info.manufacturer = sysattr(usb, "manufacturer");
                info.product = sysattr(usb, "product");
                info.serialNumber = sysattr(usb, "serial");
                AdapterIdentity::classify(info.manufacturer, info.product, info);
                if (info.autodetected && (!ruleInstalled || access(node, R_OK | W_OK) != 0))
                    info.elevatedFixPath = QLatin1String(UdevRule::kAction);
                mergePortInfo(ports, QString::fromUtf8(node), info);
            }
        }
    }
    for (const QString &path : extraPorts) {
        if (!QFileInfo::exists(path))
            continue;
        PortInfo info;
        info.autodetected = true;
        mergePortInfo(ports, path, info);
    }
    return ports;
}

bool usbLocationOfPort(const QString &portPath, UsbLocation *location)
{
    UdevPtr context(udev_new());
    if (!context)
        return false;
    // A tty's node is named after it; links such as /dev/serial/by-id/... lead to the node,
    // resolved only when the name itself is not one.
    auto ttyOfNode = [&context](const QString &node) {
        const QByteArray sysname = QFile::encodeName(QFileInfo(node).fileName());
        DevicePtr tty(udev_device_new_from_subsystem_sysname(context.get(), "tty", sysname.constData()));
        const char *ttyNode = tty ? udev_device_get_devnode(tty.get()) : nullptr;
        return ttyNode && QFile::decodeName(ttyNode) == node ? std::move(tty) : DevicePtr();
    };
    DevicePtr tty = ttyOfNode(QFileInfo(portPath).absoluteFilePath());
    if (!tty) {
        const QString target = QFileInfo(portPath).canonicalFilePath();
        if (!target.isEmpty())
            tty = ttyOfNode(target);
    }
    udev_device *usb = tty ? usbParent(tty.get()) : nullptr;
    if (!usb)
        return false;
    bool busOk = false;
    bool addressOk = false;
    location->bus = sysattr(usb, "busnum").toInt(&busOk);
    location->address = sysattr(usb, "devnum").toInt(&addressOk);
    location->serialNumber = sysattr(usb, "serial");
    return busOk && addressOk;
}
}  // namespace UdevPortEnumerator
