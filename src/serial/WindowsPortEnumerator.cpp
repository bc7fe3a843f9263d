// Windows port enumeration: SetupAPI for the COM ports and their USB device and hub, the hub's
// string descriptors for the adapter's own strings, and the FTDI bus registry keys for the
// driver settings the elevated repair fixes.

#include "AdapterIdentity.h"
#include "AdapterRepair.h"
#include "DeviceNamePatterns.h"
#include "FtdiDriverSettings.h"

#include <QVector>

#include <windows.h>
#include <devpkey.h>
#include <initguid.h>
#include <setupapi.h>
#include <usbioctl.h>
#include <winioctl.h>

#include <cstring>

namespace {
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const GUID kUsbHubInterface = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};

constexpr DWORD kDescriptorHeader = 12;  // USB_DESCRIPTOR_REQUEST before its data
constexpr DWORD kConnectionInfoSize = 365;
constexpr USHORT kEnglishUs = 0x0409;
constexpr UCHAR kConfigurationDescriptor = 2;
constexpr UCHAR kStringDescriptor = 3;

struct DeviceSet {
    HDEVINFO handle = INVALID_HANDLE_VALUE;
    explicit DeviceSet(HDEVINFO h) : handle(h) {}
    ~DeviceSet()
    {
        if (handle != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(handle);
    }
    DeviceSet(const DeviceSet &) = delete;
    DeviceSet &operator=(const DeviceSet &) = delete;
    bool valid() const { return handle != INVALID_HANDLE_VALUE; }
};

QString stringProperty(HDEVINFO set, SP_DEVINFO_DATA *info, const DEVPROPKEY &key)
{
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    SetupDiGetDevicePropertyW(set, info, &key, &type, nullptr, 0, &required, 0);
    if (required < sizeof(wchar_t))
        return QString();
    QVector<wchar_t> buffer(int(required / sizeof(wchar_t)) + 1, 0);
    if (!SetupDiGetDevicePropertyW(set, info, &key, &type, reinterpret_cast<PBYTE>(buffer.data()), required, nullptr,
                                   0) ||
        type != DEVPROP_TYPE_STRING)
        return QString();
    return QString::fromWCharArray(buffer.constData());
}

// The path of the device's interface of class `guid`, or empty when it has none.
QString interfacePath(HDEVINFO set, SP_DEVINFO_DATA *info, const GUID &guid)
{
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (!SetupDiEnumDeviceInterfaces(set, info, &guid, 0, &iface))
        return QString();
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return QString();
    QVector<char> buffer(int(required), 0);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, nullptr))
        return QString();
    return QString::fromWCharArray(detail->DevicePath);
}

// A device by instance ID with the properties the enumeration reads and its interface path of
// class `guid`.
struct DeviceNode {
    QString location;
    QString parent;
    QString interfacePath;
};

DeviceNode openDevice(const QString &instanceId, const GUID &guid)
{
    DeviceNode node;
    const auto *id = reinterpret_cast<const wchar_t *>(instanceId.utf16());
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    DeviceSet withInterface(SetupDiGetClassDevsW(&guid, id, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (withInterface.valid() && SetupDiEnumDeviceInfo(withInterface.handle, 0, &info)) {
        node.interfacePath = interfacePath(withInterface.handle, &info, guid);
        node.location = stringProperty(withInterface.handle, &info, DEVPKEY_Device_LocationInfo);
        node.parent = stringProperty(withInterface.handle, &info, DEVPKEY_Device_Parent);
        return node;
    }
    // No interface of that class: the bare device still has its properties.
    DeviceSet bare(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (bare.valid() && SetupDiOpenDeviceInfoW(bare.handle, id, nullptr, 0, &info)) {
        node.location = stringProperty(bare.handle, &info, DEVPKEY_Device_LocationInfo);
        node.parent = stringProperty(bare.handle, &info, DEVPKEY_Device_Parent);
    }
    return node;
}

bool descriptorRequest(HANDLE hub, ULONG port, UCHAR type, UCHAR index, USHORT language, USHORT length,
                       QByteArray *data)
{
    QByteArray request(int(kDescriptorHeader + length), '\0');
    auto *r = reinterpret_cast<USB_DESCRIPTOR_REQUEST *>(request.data());
    r->ConnectionIndex = port;
    r->SetupPacket.bmRequest = 0x80;
    r->SetupPacket.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    r->SetupPacket.wValue = USHORT((type << 8) | index);
    r->SetupPacket.wIndex = language;
    r->SetupPacket.wLength = length;
    DWORD returned = 0;
    if (!DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, request.data(), DWORD(request.size()),
                         request.data(), DWORD(request.size()), &returned, nullptr))
        return false;
    *data = request.left(int(returned));
    return true;
}

QString stringDescriptor(HANDLE hub, ULONG port, UCHAR index)
{
    if (index == 0)
        return QString();
    QByteArray reply;
    if (!descriptorRequest(hub, port, kStringDescriptor, index, kEnglishUs, 255, &reply))
        return QString();
    if (reply.size() <= int(kDescriptorHeader) + 1)
        return QString();
    const int bLength = quint8(reply.at(kDescriptorHeader));
    const int type = quint8(reply.at(kDescriptorHeader + 1));
    if (type != kStringDescriptor || reply.size() != int(kDescriptorHeader) + bLength || bLength % 2 != 0)
        return QString();
    // The characters after the 2-byte header, never past the descriptor.
    QString text;
    for (int i = kDescriptorHeader + 2; i + 1 < reply.size(); i += 2) {
        const ushort unit = ushort(quint8(reply.at(i)) | (quint8(reply.at(i + 1)) << 8));
        if (unit == 0)
            break;
        text += QChar(unit);
    }
    return text;
}

struct HubStrings {
    QString manufacturer;
    QString product;
    QString serialNumber;
};

bool queryHub(const QString &hubPath, ULONG port, HubStrings *strings)
{
    HANDLE hub = CreateFileW(reinterpret_cast<const wchar_t *>(hubPath.utf16()), GENERIC_WRITE, FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (hub == INVALID_HANDLE_VALUE)
        return false;
    bool ok = false;
    QByteArray config;
    if (descriptorRequest(hub, port, kConfigurationDescriptor, 0, 0, 9, &config) &&
        config.size() == int(kDescriptorHeader) + 9) {
        const USHORT total =
            USHORT(quint8(config.at(kDescriptorHeader + 2)) | (quint8(config.at(kDescriptorHeader + 3)) << 8));
        QByteArray full;
        ok = total >= 9 && descriptorRequest(hub, port, kConfigurationDescriptor, 0, 0, total, &full) &&
             full.size() == int(kDescriptorHeader) + total;
    }
    if (ok) {
        QByteArray buffer(int(kConnectionInfoSize), '\0');
        auto *info = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION_EX *>(buffer.data());
        info->ConnectionIndex = port;
        DWORD returned = 0;
        ok = DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, buffer.data(), DWORD(buffer.size()),
                             buffer.data(), DWORD(buffer.size()), &returned, nullptr);
        if (ok) {
            strings->manufacturer = stringDescriptor(hub, port, info->DeviceDescriptor.iManufacturer);
            strings->product = stringDescriptor(hub, port, info->DeviceDescriptor.iProduct);
            strings->serialNumber = stringDescriptor(hub, port, info->DeviceDescriptor.iSerialNumber);
        }
    }
    CloseHandle(hub);
    return ok;
}

bool readRegistry(const QByteArray &subKey, const char *value, DWORD flags, QByteArray *data, DWORD maxSize)
{
    QByteArray buffer(int(maxSize), '\0');
    DWORD size = maxSize;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, subKey.constData(), value, flags, nullptr, buffer.data(), &size) !=
        ERROR_SUCCESS)
        return false;
    *data = buffer.left(int(size));
    return true;
}

QString elevatedFixPathFor(const QString &portName)
{
    HKEY bus = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, FtdiRegistry::kBusKey, 0, KEY_READ, &bus) != ERROR_SUCCESS)
        return QString();
    QString result;
    for (DWORD index = 0; index < 256; ++index) {
        char name[257] = {};
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(bus, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const QString candidate = FtdiRegistry::instancePath(QString::fromLocal8Bit(name, int(nameLength)));
        const QByteArray instance = candidate.toLocal8Bit();
        const QByteArray parameters = instance + "\\Device Parameters";
        QByteArray portNameData;
        if (!readRegistry(parameters, "PortName", RRF_RT_REG_SZ, &portNameData, 32) ||
            QString::fromLocal8Bit(portNameData.constData()) != portName)
            continue;
        FtdiDriverSettings settings;
        QByteArray filters;
        settings.upperFiltersRead = readRegistry(instance, "UpperFilters", RRF_RT_REG_MULTI_SZ, &filters, 256);
        settings.upperFilters = FtdiDriverSettings::parseMultiString(filters);
        settings.configDataRead = readRegistry(parameters, "ConfigData", RRF_RT_REG_BINARY, &settings.configData, 256);
        QByteArray latency;
        settings.latencyTimerRead = readRegistry(parameters, "LatencyTimer", RRF_RT_REG_DWORD, &latency, sizeof(DWORD));
        const auto verdict = settings.verdict();
        if (verdict == FtdiDriverSettings::Verdict::RepairNeeded) {
            result = candidate;
            break;
        }
        if (verdict == FtdiDriverSettings::Verdict::Good)
            break;
    }
    RegCloseKey(bus);
    return result;
}
}  // namespace

PortInfoMap enumeratePorts()
{
    PortInfoMap ports;
    DeviceSet all(
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!all.valid())
        return ports;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(all.handle, index, &info)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                break;
            continue;
        }
        if (interfacePath(all.handle, &info, kComPortInterface).isEmpty())
            continue;
        const QString name = stringProperty(all.handle, &info, DEVPKEY_NAME);
        const QString busDescription = stringProperty(all.handle, &info, DEVPKEY_Device_BusReportedDeviceDesc);
        const QString parentId = stringProperty(all.handle, &info, DEVPKEY_Device_Parent);
        const QString portManufacturer = stringProperty(all.handle, &info, DEVPKEY_Device_Manufacturer);

        PortInfo port;
        bool fromEeprom = false;
        if (!parentId.isEmpty()) {
            const DeviceNode usb = openDevice(parentId, kUsbDeviceInterface);
            const DeviceNode hub = usb.parent.isEmpty() ? DeviceNode() : openDevice(usb.parent, kUsbHubInterface);
            const int hubPort = DeviceNamePatterns::hubPortFromLocation(usb.location);
            HubStrings strings;
            if (!hub.interfacePath.isEmpty() && hubPort >= 0 && queryHub(hub.interfacePath, ULONG(hubPort), &strings)) {
                port.manufacturer = strings.manufacturer;
                port.product = strings.product;
                port.serialNumber = strings.serialNumber;
                fromEeprom = true;
            }
        }
        const QString portName = DeviceNamePatterns::portNameFromDeviceName(name);
        if (portName.isEmpty())
            continue;
        if (port.manufacturer.isEmpty())
            port.manufacturer = portManufacturer;
        if (port.product.isEmpty())
            port.product = busDescription;
        AdapterIdentity::classify(port.manufacturer, port.product, port);
        // Only strings that came from the adapter itself say anything about its EEPROM.
        if (!fromEeprom)
            port.eepromFixNeeded = false;
        port.elevatedFixPath = elevatedFixPathFor(portName);
        mergePortInfo(ports, portName, port);
    }
    return ports;
}
