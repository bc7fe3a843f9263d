#pragma once

#include "AbstractSerialPort.h"

#include <QObject>
#include <QString>

class SerialComm;

// Lives in the connection manager's worker thread: closes the previous port and opens the
// next one there, so the user interface thread never waits for the operating system.
class SerialCommSlave : public QObject
{
    Q_OBJECT

public:
    explicit SerialCommSlave(QObject *parent = nullptr);

    static const QString kSysPathPrefix;

public slots:
    // Takes ownership of cleanupAdopt (closing and deleting it) and hands the new, open port
    // (moved to the manager's thread) or null back through backgroundJobDone.
    void backgroundOpen(SerialComm *parent, MlSerialPort *cleanupAdopt, QString portName, int baud,
                        MlSerialPort::Parity parity);

signals:
    void backgroundJobDone(MlSerialPort *newPortAdopt, QString error, QString portError);
};
