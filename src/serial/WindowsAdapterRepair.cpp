#include "AdapterRepair.h"

#include "FtdiDriverSettings.h"
#include "WindowsFtdiLibrary.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QEventLoop>
#include <QStandardPaths>

#include <windows.h>
#include <shellapi.h>

namespace {
constexpr DWORD kMaxValue = 256;

// Keeps the window painting (but takes no input) while the user interface thread waits.
void waitPainting(HANDLE process, int milliseconds)
{
    QDeadlineTimer deadline(milliseconds < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(milliseconds));
    for (;;) {
        if (process && WaitForSingleObject(process, 50) == WAIT_OBJECT_0)
            return;
        if (!process)
            Sleep(50);
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (deadline.hasExpired())
            return;
    }
}

bool repairDeviceParameters(const QByteArray &instance)
{
    HKEY key = nullptr;
    const QByteArray path = instance + "\\Device Parameters";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.constData(), 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS) {
        qDebug() << "Failed to open reg key for writing" << path;
        return false;
    }
    bool configWritten = false;
    QByteArray config(int(kMaxValue), '\0');
    DWORD size = kMaxValue;
    DWORD type = 0;
    if (RegQueryValueExA(key, "ConfigData", nullptr, &type, reinterpret_cast<LPBYTE>(config.data()), &size) ==
            ERROR_SUCCESS &&
        type == REG_BINARY) {
        config.truncate(int(size));
        qDebug().noquote() << "ConfigData hex:" << config.toHex(' ');
        const QByteArray repaired = FtdiDriverSettings::repairedConfigData(config);
        configWritten = !repaired.isEmpty() && RegSetValueExA(key, "ConfigData", 0, REG_BINARY,
                                                              reinterpret_cast<const BYTE *>(repaired.constData()),
                                                              DWORD(repaired.size())) == ERROR_SUCCESS;
        qDebug() << (configWritten ? "Successfully wrote ConfigData" : "failed to write ConfigData");
    }
    const DWORD latency = 1;
    const bool latencyWritten =
        RegSetValueExA(key, "LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&latency), sizeof latency) ==
        ERROR_SUCCESS;
    qDebug() << (latencyWritten ? "Successfully wrote LatencyTimer" : "failed to write LatencyTimer");
    RegCloseKey(key);
    return latencyWritten || configWritten;
}

bool removeSerialEnumerator(const QByteArray &instance)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, instance.constData(), 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS) {
        qDebug() << "Failed to open reg key for writing" << instance;
        return false;
    }
    QByteArray filters(int(kMaxValue), '\0');
    DWORD size = kMaxValue;
    DWORD type = 0;
    const bool read = RegQueryValueExA(key, "UpperFilters", nullptr, &type, reinterpret_cast<LPBYTE>(filters.data()),
                                       &size) == ERROR_SUCCESS &&
                      type == REG_MULTI_SZ;
    bool written = false;
    if (read) {
        filters.truncate(int(size));
        const QByteArray remaining = FtdiDriverSettings::buildMultiString(
            FtdiDriverSettings::withoutSerialEnumerator(FtdiDriverSettings::parseMultiString(filters)));
        written =
            RegSetValueExA(key, "UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(remaining.constData()),
                           DWORD(remaining.size())) == ERROR_SUCCESS;
        qDebug() << (written ? "Successfully wrote UpperFilters" : "failed to write UpperFilters");
    }
    RegCloseKey(key);
    return read && written;
}
}  // namespace

bool ftdiUpdateEeprom(const QString &portName, const QString &serialNumber)
{
    qDebug().noquote() << QStringLiteral("ftdiUpdateEeprom(path:%1 serial:%2)").arg(portName, serialNumber);
    return WindowsFtdiLibrary::updateEeprom(portName, serialNumber);
}

// The elevated copy runs as the same user and writes its log there itself.
QString repairLogPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/ftdi-fix.txt");
}

bool FixFtdi(const QString &elevatedFixPath)
{
    qDebug().noquote() << "FixFtdi: calling elevated fixftdi" << elevatedFixPath;
    const QByteArray program = QCoreApplication::applicationFilePath().toLocal8Bit();
    const QByteArray parameters = "fixftdi " + elevatedFixPath.toUtf8().toBase64();
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "runas";
    info.lpFile = program.constData();
    info.lpParameters = parameters.constData();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExA(&info) || !info.hProcess)
        return false;  // for example, elevation declined
    waitPainting(info.hProcess, -1);
    DWORD code = 1;
    if (!GetExitCodeProcess(info.hProcess, &code))
        code = 1;
    CloseHandle(info.hProcess);
    qDebug() << "FixFtdi exit" << code;
    waitPainting(nullptr, 2000);  // the adapter re-enumerates
    return code == 0;
}

bool ftdiElevatedFix(const QString &elevatedFixPath)
{
    qDebug().noquote() << "ftdiElevatedFix" << elevatedFixPath;
    // Running elevated: write nowhere but below the FTDI bus key, whatever the caller says.
    if (!FtdiRegistry::isAcceptedInstancePath(elevatedFixPath)) {
        qWarning().noquote() << "ftdiElevatedFix: refusing path" << elevatedFixPath;
        return false;
    }
    const QByteArray instance = elevatedFixPath.toLocal8Bit();
    return repairDeviceParameters(instance) && removeSerialEnumerator(instance) &&
           WindowsFtdiLibrary::restartAdapters();
}
