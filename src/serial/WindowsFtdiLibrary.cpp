#include "WindowsFtdiLibrary.h"

#include "AdapterIdentity.h"

#include <QDebug>

#include <windows.h>

#include <cstring>
#include <type_traits>

namespace {
// The parts of the D2XX interface used here, declared after the vendor's programmer's guide
// (its header is not redistributable).
using FT_HANDLE = PVOID;
using FT_STATUS = ULONG;
using FT_DEVICE = ULONG;
constexpr FT_STATUS FT_OK = 0;
constexpr FT_DEVICE FT_DEVICE_232R = 5;
constexpr FT_DEVICE FT_DEVICE_X_SERIES = 9;

struct FT_EEPROM_HEADER {
    FT_DEVICE deviceType;
    WORD VendorId;
    WORD ProductId;
    UCHAR SerNumEnable;
    WORD MaxPower;
    UCHAR SelfPowered;
    UCHAR RemoteWakeup;
    UCHAR PullDownEnable;
};

struct FT_EEPROM_232R {
    FT_EEPROM_HEADER common;
    UCHAR IsHighCurrent;
    UCHAR UseExtOsc;
    UCHAR InvertTXD, InvertRXD, InvertRTS, InvertCTS, InvertDTR, InvertDSR, InvertDCD, InvertRI;
    UCHAR Cbus0, Cbus1, Cbus2, Cbus3, Cbus4;
    UCHAR DriverType;
};

struct FT_EEPROM_X_SERIES {
    FT_EEPROM_HEADER common;
    UCHAR ACSlowSlew, ACSchmittInput, ACDriveCurrent;
    UCHAR ADSlowSlew, ADSchmittInput, ADDriveCurrent;
    UCHAR Cbus0, Cbus1, Cbus2, Cbus3, Cbus4, Cbus5, Cbus6;
    UCHAR InvertTXD, InvertRXD, InvertRTS, InvertCTS, InvertDTR, InvertDSR, InvertDCD, InvertRI;
    UCHAR BCDEnable, BCDForceCbusPWREN, BCDDisableSleep;
    WORD I2CSlaveAddress;
    DWORD I2CDeviceId;
    UCHAR I2CDisableSchmitt;
    UCHAR FT1248Cpol, FT1248Lsb, FT1248FlowControl;
    UCHAR RS485EchoSuppress;
    UCHAR PowerSaveEnable;
    UCHAR DriverType;
};

static_assert(sizeof(FT_EEPROM_232R) == 32, "FT232R EEPROM structure is 32 bytes");
static_assert(sizeof(FT_EEPROM_X_SERIES) == 56, "X-series EEPROM structure is 56 bytes");

using FtGetDeviceInfo = FT_STATUS(WINAPI *)(FT_HANDLE, FT_DEVICE *, LPDWORD, PCHAR, PCHAR, LPVOID);
using FtOpen = FT_STATUS(WINAPI *)(int, FT_HANDLE *);
using FtClose = FT_STATUS(WINAPI *)(FT_HANDLE);
using FtGetComPortNumber = FT_STATUS(WINAPI *)(FT_HANDLE, LPLONG);
using FtResetDevice = FT_STATUS(WINAPI *)(FT_HANDLE);
using FtEepromRead = FT_STATUS(WINAPI *)(FT_HANDLE, void *, DWORD, char *, char *, char *, char *);
using FtEepromProgram = FT_STATUS(WINAPI *)(FT_HANDLE, void *, DWORD, char *, char *, char *, char *);

struct Library {
    HMODULE module = nullptr;
    FtGetDeviceInfo getDeviceInfo = nullptr;
    FtOpen open = nullptr;
    FtClose close = nullptr;
    FtGetComPortNumber getComPortNumber = nullptr;
    FtResetDevice resetDevice = nullptr;
    FtEepromRead eepromRead = nullptr;
    FtEepromProgram eepromProgram = nullptr;
};
Library g_ftdi;

template <typename T> bool resolve(T &entry, const char *name)
{
    entry = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(g_ftdi.module, name)));
    return entry != nullptr;
}

constexpr int kMaxDevices = 256;
constexpr int kStringBuffer = 64;

struct EepromStrings {
    char manufacturer[kStringBuffer] = {};
    char manufacturerId[kStringBuffer] = {};
    char description[kStringBuffer] = {};
    char serialNumber[kStringBuffer] = {};
};

void copyString(char (&target)[kStringBuffer], const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::memset(target, 0, sizeof target);
    std::memcpy(target, bytes.constData(), size_t(qMin(bytes.size(), kStringBuffer - 1)));
}

// Reads, changes and programs one chip's EEPROM structure. Returns false on a read or program
// failure.
template <typename Eeprom> bool rewriteStrings(FT_HANDLE handle, FT_DEVICE type, bool isFt232R)
{
    Eeprom data{};
    data.common.deviceType = type;
    EepromStrings s;
    if (g_ftdi.eepromRead(handle, &data, sizeof data, s.manufacturer, s.manufacturerId, s.description,
                          s.serialNumber) != FT_OK)
        return false;
    bool highCurrent = false;
    if constexpr (std::is_same<Eeprom, FT_EEPROM_232R>::value)
        highCurrent = data.IsHighCurrent != 0;
    const auto plan = AdapterIdentity::planStringUpdate(QString::fromLocal8Bit(s.manufacturer),
                                                        QString::fromLocal8Bit(s.description), isFt232R, highCurrent);
    if (!plan.changed)
        return true;
    copyString(s.manufacturer, plan.manufacturer);
    copyString(s.description, plan.description);
    if constexpr (std::is_same<Eeprom, FT_EEPROM_232R>::value)
        data.IsHighCurrent = plan.highCurrent ? 1 : 0;
    return g_ftdi.eepromProgram(handle, &data, sizeof data, s.manufacturer, s.manufacturerId, s.description,
                                s.serialNumber) == FT_OK;
}
}  // namespace

namespace WindowsFtdiLibrary {
void load()
{
    if (g_ftdi.module)
        return;
    g_ftdi.module = LoadLibraryA("ftd2xx.dll");
    if (!g_ftdi.module) {
        qDebug() << "Unable to load ftd2xx.dll";
        return;
    }
    qDebug() << "Loaded ftd2xx.dll";
    const bool complete =
        resolve(g_ftdi.getDeviceInfo, "FT_GetDeviceInfo") && resolve(g_ftdi.open, "FT_Open") &&
        resolve(g_ftdi.close, "FT_Close") && resolve(g_ftdi.getComPortNumber, "FT_GetComPortNumber") &&
        resolve(g_ftdi.resetDevice, "FT_ResetDevice") && resolve(g_ftdi.eepromRead, "FT_EEPROM_Read") &&
        resolve(g_ftdi.eepromProgram, "FT_EEPROM_Program");
    if (!complete)
        unload();
}

void unload()
{
    if (g_ftdi.module)
        FreeLibrary(g_ftdi.module);
    g_ftdi = Library();
}

bool isLoaded()
{
    return g_ftdi.module != nullptr;
}

bool updateEeprom(const QString &portName, const QString &serialNumber)
{
    if (!isLoaded()) {
        qDebug() << "ftd2xx.dll not loaded";
        return false;
    }
    bool matched = false;
    for (int index = 0; index < kMaxDevices; ++index) {
        FT_HANDLE handle = nullptr;
        if (g_ftdi.open(index, &handle) != FT_OK)
            continue;
        LONG comNumber = -1;
        FT_DEVICE type = 0;
        DWORD id = 0;
        char serial[kStringBuffer] = {};
        char description[kStringBuffer] = {};
        const bool samePort =
            g_ftdi.getComPortNumber(handle, &comNumber) == FT_OK && QStringLiteral("COM%1").arg(comNumber) == portName;
        const bool sameAdapter = samePort &&
                                 g_ftdi.getDeviceInfo(handle, &type, &id, serial, description, nullptr) == FT_OK &&
                                 QString::fromLocal8Bit(serial) == serialNumber;
        if (!sameAdapter) {
            g_ftdi.close(handle);
            continue;
        }
        matched = true;
        bool ok = false;
        if (type == FT_DEVICE_232R)
            ok = rewriteStrings<FT_EEPROM_232R>(handle, type, true);
        else if (type == FT_DEVICE_X_SERIES)
            ok = rewriteStrings<FT_EEPROM_X_SERIES>(handle, type, false);
        if (!ok) {
            qDebug() << "ftdiUpdateEeprom read/program failed";
            g_ftdi.close(handle);
            continue;
        }
        if (g_ftdi.resetDevice(handle) != FT_OK)
            qDebug() << "ftdiUpdateEeprom reset failed";
        g_ftdi.close(handle);
        return true;
    }
    if (!matched)
        qDebug() << "ftdiUpdateEeprom could not find the device (is it already open?)";
    return false;
}

bool restartAdapters()
{
    if (!isLoaded()) {
        qDebug() << "FTDI functions unavailable";
        return false;
    }
    bool anyReset = false;
    for (int index = 0; index < kMaxDevices; ++index) {
        FT_HANDLE handle = nullptr;
        if (g_ftdi.open(index, &handle) != FT_OK)
            continue;
        qDebug() << "Successfully opened device" << index;
        if (g_ftdi.resetDevice(handle) == FT_OK) {
            qDebug() << "FT_CycleDevicePort success for device" << index;
            anyReset = true;
        } else {
            qDebug() << "FT_CycleDevicePort failed for device" << index;
        }
        g_ftdi.close(handle);
    }
    if (anyReset)
        Sleep(2000);  // the adapters re-enumerate; the elevated copy has no window to keep alive
    return anyReset;
}
}  // namespace WindowsFtdiLibrary
