#include "TarrowindLogger.h"

#include "BootloaderMetatypes.h"

#include <QDebug>

TarrowindLogger::TarrowindLogger(QObject *parent)
    : QObject(parent), m_bootloader(new StmBootLoader(this)), m_firmware(new TarrowindFirmware(this))
{
    // Signal arguments of this type travel through spies and queued connections.
    registerBootloaderMetatypes();
    m_modeChangeTimer.setInterval(kModeChangeIntervalMs);
    m_modeChangeTimer.setSingleShot(false);
    connect(m_firmware, &TarrowindFirmware::connectionStateChanged, this,
            &TarrowindLogger::onFirmwareConnectionStateChanged);
    connect(m_bootloader, &StmBootLoader::stateChanged, this, &TarrowindLogger::onBootloaderStateChanged);
    connect(&m_modeChangeTimer, &QTimer::timeout, this, &TarrowindLogger::modeChangeTimerTick);
    connect(
        this, &TarrowindLogger::targetOperatingModeChanged, this,
        [this] {
            onFirmwareConnectionStateChanged();
            onBootloaderStateChanged();
        },
        Qt::DirectConnection);
}

TarrowindLogger::~TarrowindLogger()
{
    m_modeChangeTimer.stop();
    if (m_factory)
        disconnect(m_factory.data(), nullptr, this, nullptr);
    // A client going away may still report a state change; nobody is left to act on it.
    disconnect(m_firmware, nullptr, this, nullptr);
    disconnect(m_bootloader, nullptr, this, nullptr);
    // The clients go first, while the factory's device they may hold is still alive.
    delete m_bootloader;
    m_bootloader = nullptr;
    delete m_firmware;
    m_firmware = nullptr;
}

int TarrowindLogger::targetStatus() const
{
    if (m_target == OperatingMode_Bootloader)
        return int(m_bootloader->state());
    return int(m_firmware->connectionState());
}

void TarrowindLogger::switchTo(OperatingMode mode)
{
    m_current = mode;
    emit currentOperatingModeChanged(mode);
    m_firmware->setIoDevice(nullptr);
    m_bootloader->setIoDevice(nullptr);
    if (m_factory)
        m_factory->reinit();
    m_deviceAttached = false;
    m_modeChangeTimer.stop();
}

void TarrowindLogger::applyTimerRule()
{
    if (m_deviceAttached && m_bootloader->state() != StmBootLoader::State_Busy && targetStatus() != 2) {
        if (!m_modeChangeTimer.isActive())
            m_modeChangeTimer.start();
    } else if (m_modeChangeTimer.isActive()) {
        m_modeChangeTimer.stop();
    }
}

void TarrowindLogger::setIoDeviceFactory(IODeviceFactory *factory)
{
    if (m_factory)
        disconnect(m_factory.data(), &IODeviceFactory::ioDeviceChanged, this,
                   &TarrowindLogger::onFactoryIoDeviceChanged);
    m_factory = factory;
    if (m_factory) {
        connect(m_factory.data(), &IODeviceFactory::ioDeviceChanged, this, &TarrowindLogger::onFactoryIoDeviceChanged);
        m_factory->reinit();
    }
    emit ioDeviceFactoryChanged();
}

void TarrowindLogger::onFactoryIoDeviceChanged()
{
    QIODevice *device = m_factory ? m_factory->ioDevice() : nullptr;
    if (m_current == OperatingMode_Bootloader) {
        m_firmware->setIoDevice(nullptr);
        m_bootloader->setIoDevice(device);
    } else {
        m_bootloader->setIoDevice(nullptr);
        m_firmware->setIoDevice(device);
    }
    if (!device)
        return;
    m_deviceAttached = true;
    applyTimerRule();
}

void TarrowindLogger::onFirmwareConnectionStateChanged()
{
    if (m_firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready &&
        m_target == OperatingMode_Bootloader) {
        m_firmware->sendEnterBootloader();
        if (m_current != OperatingMode_Bootloader) {
            if (m_bootloader->state() == StmBootLoader::State_Busy)
                qWarning() << "Tried to change operating mode while the bootloader is busy";
            else
                switchTo(OperatingMode_Bootloader);
        }
    }
    applyTimerRule();
}

void TarrowindLogger::onBootloaderStateChanged()
{
    if (m_bootloader->state() == StmBootLoader::State_Ready && m_target == OperatingMode_Firmware) {
        m_bootloader->sendGo();
        if (m_current == OperatingMode_Bootloader)
            switchTo(OperatingMode_Firmware);
    }
    applyTimerRule();
}

bool TarrowindLogger::deviceAnswersCurrentMode() const
{
    if (m_current == OperatingMode_Bootloader) {
        // Past step 2 the bootloader has acknowledged the sync byte and is reading its Get
        // answer, or is idle and answering probes.
        const int step = m_bootloader->step();
        return step >= 3 && step <= 8;
    }
    // Querying: the firmware announced itself and the identity queries are on their way.
    return m_firmware->connectionState() != TarrowindFirmware::ConnectionState_Unconnected;
}

void TarrowindLogger::modeChangeTimerTick()
{
    if (!m_deviceAttached || m_bootloader->state() == StmBootLoader::State_Busy || targetStatus() == 2)
        return;
    // Only a guess the device has not answered is wrong. A client still talking with the
    // device merely needs longer (a busy host answers late); switching away would send the
    // controller back and forth between the two modes.
    if (deviceAnswersCurrentMode())
        return;
    if (m_current == OperatingMode_Bootloader) {
        switchTo(OperatingMode_Firmware);
    } else if (m_bootloader->state() == StmBootLoader::State_Busy) {
        qWarning() << "Tried to change operating mode while the bootloader is busy";
    } else {
        switchTo(OperatingMode_Bootloader);
    }
}

void TarrowindLogger::setTargetOperatingMode(TarrowindLogger::OperatingMode mode)
{
    if (m_target == mode)
        return;
    m_target = mode;
    emit targetOperatingModeChanged(mode);
    onFirmwareConnectionStateChanged();
    onBootloaderStateChanged();
}
