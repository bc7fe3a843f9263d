#include "SerialCommSlave.h"

#include "SerialComm.h"

#include <QCoreApplication>
#include <QVariant>

const QString SerialCommSlave::kSysPathPrefix = QStringLiteral("syspath://");

SerialCommSlave::SerialCommSlave(QObject *parent) : QObject(parent) {}

void SerialCommSlave::backgroundOpen(SerialComm *parent, MlSerialPort *cleanupAdopt, QString portName, int baud,
                                     MlSerialPort::Parity parity)
{
    if (cleanupAdopt) {
        if (cleanupAdopt->isOpen()) {
            cleanupAdopt->flush();
            cleanupAdopt->waitForBytesWritten(100);
            cleanupAdopt->flush();
            cleanupAdopt->close();
        }
        delete cleanupAdopt;
    }

    const QString givenName = portName;
    QString name = portName;
    if (name.startsWith(kSysPathPrefix))
        name.remove(0, kSysPathPrefix.size());

    auto *port = new MlSerialPort(name);
    port->setProperty("originalPortName", givenName);
    port->setBaudRate(baud, MlSerialPort::AllDirections);
    port->setParity(parity);

    QString error;
    QString portError;
    if (port->open(QIODevice::ReadWrite)) {
        port->setRequestToSend(false);
        port->moveToThread(parent ? parent->thread() : QCoreApplication::instance()->thread());
    } else {
        portError = port->errorString();
        error = QStringLiteral("Failure opening serial port:\"%1\"").arg(name);
        delete port;
        port = nullptr;
    }
    emit backgroundJobDone(port, error, portError);
}
