#pragma once

#include "AbstractSerialPort.h"
#include "IODeviceFactory.h"

#include <QString>
#include <QThread>
#include <QTimer>

namespace Network {
struct PacketBase;
}

class SerialCommSlave;

// Keeps one serial port open according to the port name, baud rate and parity settings and
// hands it out as the current ioDevice. Ports are closed and opened by SerialCommSlave in a
// worker thread; this object (in the user interface thread) only swaps finished ports in and
// out. It reopens by itself after port errors, after 5 s without received data, every 5 s
// while the port cannot be opened, and whenever a setting changes.
class SerialComm : public IODeviceFactory
{
    Q_OBJECT
    Q_PROPERTY(MlSerialPort *serialPortObject READ serialPortObject NOTIFY ioDeviceChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(QString lastPortError READ lastPortError NOTIFY lastPortErrorChanged)
    Q_PROPERTY(QString serialPort READ serialPort WRITE setSerialPort NOTIFY serialPortChanged)
    Q_PROPERTY(int baud READ baud WRITE setBaud NOTIFY baudChanged)
    Q_PROPERTY(MlSerialPort::Parity parity READ parity WRITE setParity NOTIFY parityChanged)
    Q_PROPERTY(bool opening READ opening NOTIFY openingChanged)
    Q_PROPERTY(bool assertRts READ assertRts WRITE setAssertRts NOTIFY assertRtsChanged)

public:
    static constexpr int kRetryIntervalMs = 5000;
    static constexpr int kSilenceIntervalMs = 5000;

    explicit SerialComm(QObject *parent = nullptr);
    ~SerialComm() override;

    QIODevice *ioDevice() const override;

    MlSerialPort *serialPortObject() const { return m_port; }
    QString lastError() const { return m_lastError; }
    QString lastPortError() const { return m_lastPortError; }
    QString serialPort() const { return m_serialPort; }
    int baud() const { return m_baud; }
    MlSerialPort::Parity parity() const { return m_parity; }
    bool opening() const { return m_opening; }
    bool assertRts() const { return m_assertRts; }

signals:
    void lastErrorChanged(QString error);
    void lastPortErrorChanged();
    void serialPortChanged(QString serialPort);
    void baudChanged(int baud);
    void parityChanged(MlSerialPort::Parity parity);
    void aggregateChanged();
    void packetReceived(const Network::PacketBase *packetIn);
    void slaveDestroyCreateInBackground(SerialComm *parent, MlSerialPort *cleanupAdopt, QString portName, int baud,
                                        MlSerialPort::Parity parity);
    void openingChanged(bool opening);
    void assertRtsChanged(bool assertRts);

public slots:
    void reinit() override;
    void setSerialPort(QString serialPort);
    void setBaud(int baud);
    void setParity(MlSerialPort::Parity parity);
    void setAssertRts(bool assertRts);

private slots:
    void reinitReal();
    void handleError(MlSerialPort::SerialPortError error);
    void setLastError(QString error);
    void setLastPortError(QString error);
    void setSerialPortObject(MlSerialPort *port);
    void handleBackgroundJobDone(MlSerialPort *port, QString error, QString portError);

private:
    void settingChanged();
    void releasePort(MlSerialPort *port);
    void replaceCleanupPort(MlSerialPort *port);

    QThread *m_thread = nullptr;
    SerialCommSlave *m_slave = nullptr;
    QString m_serialPort;
    int m_baud = 115200;
    MlSerialPort::Parity m_parity = MlSerialPort::NoParity;
    MlSerialPort *m_port = nullptr;
    MlSerialPort *m_cleanupPort = nullptr;
    QString m_lastError;
    QString m_lastPortError;
    QTimer m_retryTimer;
    QTimer m_silenceTimer;
    bool m_reinitPending = false;
    bool m_opening = false;
    bool m_settingsDirty = false;
    bool m_assertRts = false;
    bool m_destroying = false;
};
