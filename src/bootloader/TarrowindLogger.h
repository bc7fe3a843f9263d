#pragma once

#include "network/TarrowindFirmware.h"
#include "serial/IODeviceFactory.h"
#include "StmBootLoader.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

// The operating-mode controller. A logger on the line runs either its firmware or the STM32
// system bootloader; this object owns one client of each kind, hands the factory's device to
// the client of the mode it currently assumes, and switches until the mode the user wants is
// reached: it asks the firmware to enter the bootloader, tells the bootloader to start the
// firmware, or, when the current guess gets no answer for 3.5 s, tries the other mode.
//
// It lives in the bootloader library (not beside the firmware client) because it needs both
// clients, and the bootloader library already builds on the protocol library.
class TarrowindLogger : public QObject
{
    Q_OBJECT
    Q_PROPERTY(
        IODeviceFactory *ioDeviceFactory READ ioDeviceFactory WRITE setIoDeviceFactory NOTIFY ioDeviceFactoryChanged)
    Q_PROPERTY(StmBootLoader *bootloader READ bootloader CONSTANT)
    Q_PROPERTY(TarrowindFirmware *firmware READ firmware CONSTANT)
    Q_PROPERTY(OperatingMode targetOperatingMode READ targetOperatingMode WRITE setTargetOperatingMode NOTIFY
                   targetOperatingModeChanged)
    Q_PROPERTY(OperatingMode currentOperatingMode READ currentOperatingMode NOTIFY currentOperatingModeChanged)

public:
    enum OperatingMode { OperatingMode_Firmware = 0, OperatingMode_Bootloader = 1 };
    Q_ENUM(OperatingMode)

    static constexpr int kModeChangeIntervalMs = 3500;

    explicit TarrowindLogger(QObject *parent = nullptr);
    ~TarrowindLogger() override;

    IODeviceFactory *ioDeviceFactory() const { return m_factory.data(); }
    StmBootLoader *bootloader() const { return m_bootloader; }
    TarrowindFirmware *firmware() const { return m_firmware; }
    OperatingMode targetOperatingMode() const { return m_target; }
    OperatingMode currentOperatingMode() const { return m_current; }
    // Diagnostics for tests and the command-line tool.
    bool deviceAttached() const { return m_deviceAttached; }
    bool modeChangeTimerActive() const { return m_modeChangeTimer.isActive(); }
    // True when the client of the target mode has reached its ready state.
    bool targetReached() const { return targetStatus() == 2; }

public slots:
    void setTargetOperatingMode(TarrowindLogger::OperatingMode mode);
    void setIoDeviceFactory(IODeviceFactory *factory);

signals:
    void ioDeviceFactoryChanged();
    void targetOperatingModeChanged(TarrowindLogger::OperatingMode mode);
    void currentOperatingModeChanged(TarrowindLogger::OperatingMode mode);

private slots:
    void onFactoryIoDeviceChanged();
    void onFirmwareConnectionStateChanged();
    void onBootloaderStateChanged();
    void modeChangeTimerTick();

private:
    int targetStatus() const;
    bool deviceAnswersCurrentMode() const;
    void switchTo(OperatingMode mode);
    void applyTimerRule();

    QPointer<IODeviceFactory> m_factory;
    StmBootLoader *m_bootloader = nullptr;
    TarrowindFirmware *m_firmware = nullptr;
    OperatingMode m_target = OperatingMode_Firmware;
    OperatingMode m_current = OperatingMode_Firmware;
    QTimer m_modeChangeTimer;
    bool m_deviceAttached = false;
};
