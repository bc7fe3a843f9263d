#pragma once

#include "serial/SerialComm.h"

#include <QList>
#include <QObject>
#include <QPointer>

// Records what a SerialComm does, in the order its users would see it.
class SerialCommObserver : public QObject
{
public:
    explicit SerialCommObserver(SerialComm &comm);

    // Background jobs started (openingChanged(true)).
    int jobsStarted() const { return m_jobsStarted; }
    int jobsFinished() const { return m_jobsFinished; }
    // Distinct ports adopted, in order.
    const QList<QPointer<MlSerialPort>> &adopted() const { return m_adopted; }
    // readyRead of the adopted port received by a reader attached on ioDeviceChanged.
    int readyReadsSeen() const { return m_readyReads; }
    QStringList lastErrors() const { return m_lastErrors; }

private:
    SerialComm &m_comm;
    MlSerialPort *m_attached = nullptr;
    int m_jobsStarted = 0;
    int m_jobsFinished = 0;
    int m_readyReads = 0;
    QList<QPointer<MlSerialPort>> m_adopted;
    QStringList m_lastErrors;
};
