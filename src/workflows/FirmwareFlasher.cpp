#include "FirmwareFlasher.h"

#include "bootloader/TarrowindLogger.h"

#include <QDebug>

FirmwareFlasher::FirmwareFlasher(QObject *parent) : QObject(parent) {}

void FirmwareFlasher::setLogger(TarrowindLogger *logger)
{
    if (logger == m_logger)
        return;
    disconnect(m_finishedConnection);
    m_logger = logger;
    if (StmBootLoader *loader = bootloader())
        m_finishedConnection =
            connect(loader, &StmBootLoader::operationFinished, this, &FirmwareFlasher::onOperationFinished);
    emit loggerChanged();
}

StmBootLoader *FirmwareFlasher::bootloader() const
{
    return m_logger ? m_logger->bootloader() : nullptr;
}

bool FirmwareFlasher::fits(const QByteArray &image)
{
    return !image.isEmpty() && image.size() <= StmBootLoader::kMaxImageSize;
}

void FirmwareFlasher::enterBootloader()
{
    if (m_logger)
        m_logger->setTargetOperatingMode(TarrowindLogger::OperatingMode_Bootloader);
}

void FirmwareFlasher::exitBootloader()
{
    if (m_logger)
        m_logger->setTargetOperatingMode(TarrowindLogger::OperatingMode_Firmware);
}

bool FirmwareFlasher::flash(const QByteArray &image, StmBootLoader::Operation operation)
{
    StmBootLoader *loader = bootloader();
    if (!loader || loader->state() != StmBootLoader::State_Ready || m_flashing) {
        qWarning() << "Flash refused: the bootloader is not ready";
        return false;
    }
    m_flashing = true;
    m_finished = false;
    m_error = StmBootLoader::Error_None;
    m_errorText.clear();
    emit resultChanged();
    loader->beginOperation(operation, StmBootLoader::kVerifyFailureLimit, image);
    return true;
}

void FirmwareFlasher::onOperationFinished(StmBootLoader::Error error)
{
    // An operation somebody else started is theirs to report.
    if (!m_flashing)
        return;
    m_flashing = false;
    m_finished = true;
    m_error = error;
    m_errorText = bootloader()->operationErrorString();
    emit resultChanged();
    emit operationFinished(error);
}
