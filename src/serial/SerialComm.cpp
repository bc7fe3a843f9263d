#include "SerialComm.h"

#include "SerialCommSlave.h"
#include "SerialMetatypes.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMetaEnum>
#include <QVariant>

SerialComm::SerialComm(QObject *parent) : IODeviceFactory(parent)
{
    // Ports and their errors cross from the worker thread in queued signals.
    registerSerialMetatypes();

    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(kRetryIntervalMs);
    connect(&m_retryTimer, &QTimer::timeout, this, &SerialComm::reinit);
    m_silenceTimer.setSingleShot(false);
    m_silenceTimer.setInterval(kSilenceIntervalMs);
    connect(&m_silenceTimer, &QTimer::timeout, this, &SerialComm::reinit);

    m_thread = new QThread;
    m_slave = new SerialCommSlave;
    m_slave->setObjectName(QStringLiteral("SerialCommSlave"));
    m_slave->moveToThread(m_thread);
    connect(this, &SerialComm::slaveDestroyCreateInBackground, m_slave, &SerialCommSlave::backgroundOpen);
    connect(m_slave, &SerialCommSlave::backgroundJobDone, this, &SerialComm::handleBackgroundJobDone);
    m_thread->start(QThread::InheritPriority);
}

SerialComm::~SerialComm()
{
    m_destroying = true;
    m_retryTimer.stop();
    m_silenceTimer.stop();
    // Jobs already queued still run, so the ports they carry are closed and freed.
    QThread *thread = m_thread;
    QMetaObject::invokeMethod(
        m_slave, [thread] { thread->quit(); }, Qt::QueuedConnection);
    m_thread->wait();
    // A finished job's port is still on its way to us: take it now and free it.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);

    if (m_port) {
        disconnect(m_port, nullptr, this, nullptr);
        m_port->close();
        m_port->deleteLater();
        m_port = nullptr;
    }
    delete m_cleanupPort;
    m_cleanupPort = nullptr;
    delete m_slave;
    delete m_thread;
}

QIODevice *SerialComm::ioDevice() const
{
    return m_port;
}

void SerialComm::reinit()
{
    if (m_reinitPending)
        return;
    m_retryTimer.stop();
    m_silenceTimer.stop();
    QMetaObject::invokeMethod(this, &SerialComm::reinitReal, Qt::QueuedConnection);
    m_reinitPending = true;
}

void SerialComm::reinitReal()
{
    if (m_destroying)
        return;
    if (m_opening)
        return;  // repeated when the running job reports
    m_reinitPending = false;
    setSerialPortObject(nullptr);
    if (m_serialPort.isEmpty() && !m_cleanupPort)
        return;

    if (!m_opening) {
        m_opening = true;
        emit openingChanged(true);
    }
    MlSerialPort *cleanup = m_cleanupPort;
    m_cleanupPort = nullptr;
    if (cleanup)
        cleanup->moveToThread(m_thread);
    emit slaveDestroyCreateInBackground(this, cleanup, m_serialPort, m_baud, m_parity);
    m_settingsDirty = false;
}

void SerialComm::handleBackgroundJobDone(MlSerialPort *port, QString error, QString portError)
{
    if (m_destroying) {
        if (port) {
            port->close();
            delete port;
        }
        return;
    }
    setLastError(error);
    setLastPortError(portError);
    if (m_opening) {
        m_opening = false;
        emit openingChanged(false);
    }
    setSerialPortObject(port);
}

void SerialComm::releasePort(MlSerialPort *port)
{
    // A port that is no longer current must not drive our timers or error texts.
    if (port)
        disconnect(port, nullptr, this, nullptr);
}

void SerialComm::replaceCleanupPort(MlSerialPort *port)
{
    if (m_cleanupPort && m_cleanupPort != port)
        delete m_cleanupPort;
    m_cleanupPort = port;
}

void SerialComm::setSerialPortObject(MlSerialPort *port)
{
    if (m_reinitPending) {
        // A setting changed while the job ran: the job's port is stale.
        releasePort(port);
        replaceCleanupPort(port);
        reinitReal();
        return;
    }

    if (m_port) {
        MlSerialPort *previous = m_port;
        releasePort(previous);
        m_port = nullptr;
        replaceCleanupPort(previous);
        emit ioDeviceChanged();
    }

    m_port = port;
    emit ioDeviceChanged();

    if (!port) {
        m_retryTimer.start();
        return;
    }

    if (port->isOpen())
        port->setRequestToSend(m_assertRts);
    m_silenceTimer.start();
    m_retryTimer.stop();
    connect(port, &AbstractSerialPort::errorOccurred, this, &SerialComm::handleError);
    connect(port, &QIODevice::readyRead, this, [this] { m_silenceTimer.start(); });
    emit ioDeviceChanged();
    emit port->readyRead();
}

void SerialComm::handleError(MlSerialPort::SerialPortError error)
{
    if (error == MlSerialPort::NoError)
        return;
    if (!m_retryTimer.isActive())
        m_retryTimer.start();
    if (m_port) {
        const QByteArray key = QByteArray("errorReported") + QByteArray::number(int(error));
        if (!m_port->property(key.constData()).isValid()) {
            const char *name = QMetaEnum::fromType<MlSerialPort::SerialPortError>().valueToKey(error);
            qDebug().noquote() << "Serial port error"
                               << (name ? QString::fromLatin1(name) : QString::number(int(error)));
            m_port->setProperty(key.constData(), true);
        }
        setLastPortError(m_port->errorString());
    }
}

void SerialComm::setLastError(QString error)
{
    if (m_settingsDirty || m_lastError == error)
        return;
    m_lastError = error;
    if (!error.isEmpty())
        qDebug().noquote() << "SerialComm error:" << error;
    emit lastErrorChanged(error);
}

void SerialComm::setLastPortError(QString error)
{
    if (m_settingsDirty || m_lastPortError == error)
        return;
    m_lastPortError = error;
    emit lastPortErrorChanged();
}

void SerialComm::settingChanged()
{
    m_settingsDirty = true;
    reinit();
}

void SerialComm::setSerialPort(QString serialPort)
{
    if (m_serialPort == serialPort)
        return;
    m_serialPort = serialPort;
    emit serialPortChanged(serialPort);
    settingChanged();
}

void SerialComm::setBaud(int baud)
{
    if (m_baud == baud)
        return;
    m_baud = baud;
    emit baudChanged(baud);
    settingChanged();
}

void SerialComm::setParity(MlSerialPort::Parity parity)
{
    if (m_parity == parity)
        return;
    m_parity = parity;
    emit parityChanged(parity);
    settingChanged();
}

void SerialComm::setAssertRts(bool assertRts)
{
    if (m_assertRts == assertRts)
        return;
    m_assertRts = assertRts;
    if (m_port)
        m_port->setRequestToSend(assertRts);
    emit assertRtsChanged(assertRts);
}
