#include "LoggerLineBinding.h"

#include "serial/SerialComm.h"

LoggerLineBinding::LoggerLineBinding(SerialComm *comm, TarrowindLogger *logger, QObject *parent)
    : QObject(parent), m_comm(comm), m_logger(logger)
{
    apply();
    connect(logger, &TarrowindLogger::currentOperatingModeChanged, this, &LoggerLineBinding::apply,
            Qt::DirectConnection);
    connect(logger, &TarrowindLogger::targetOperatingModeChanged, this, &LoggerLineBinding::apply,
            Qt::DirectConnection);
}

LoggerLineBinding *LoggerLineBinding::connectLogger(SerialComm *comm, TarrowindLogger *logger, QObject *parent)
{
    auto *binding = new LoggerLineBinding(comm, logger, parent);
    logger->setIoDeviceFactory(comm);
    return binding;
}

int LoggerLineBinding::parityFor(TarrowindLogger::OperatingMode current)
{
    return current == TarrowindLogger::OperatingMode_Bootloader ? int(MlSerialPort::EvenParity)
                                                                : int(MlSerialPort::NoParity);
}

bool LoggerLineBinding::rtsFor(TarrowindLogger::OperatingMode target)
{
    return target == TarrowindLogger::OperatingMode_Bootloader;
}

void LoggerLineBinding::apply()
{
    if (!m_comm || !m_logger)
        return;
    m_comm->setBaud(kBaud);
    m_comm->setParity(MlSerialPort::Parity(parityFor(m_logger->currentOperatingMode())));
    m_comm->setAssertRts(rtsFor(m_logger->targetOperatingMode()));
}
