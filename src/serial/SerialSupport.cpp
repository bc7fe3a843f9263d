#include "SerialSupport.h"

#include <QDebug>

void initSerialSupport() {}

void shutdownSerialSupport() {}

bool ftdiElevatedFix(const QString &elevatedFixPath)
{
    qDebug().noquote() << "ftdiElevatedFix" << elevatedFixPath;
    // The driver-settings repair exists only for the Windows FTDI bus driver.
    return false;
}
