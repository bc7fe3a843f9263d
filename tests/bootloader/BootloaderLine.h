#pragma once

#include "VirtualBootloader.h"

#include <QByteArray>
#include <QIODevice>
#include <QList>

#include <functional>

// An in-memory serial line with the virtual bootloader at its far end. Bytes written by the
// client reach the bootloader in a later turn of the event loop, and its answers come back
// through readyRead, as on a real port. Filters in either direction inject line faults; a hold
// keeps everything in flight until released.
class BootloaderLine : public QIODevice
{
    Q_OBJECT
public:
    using Filter = std::function<QByteArray(const QByteArray &)>;

    explicit BootloaderLine(VirtualBootloader *bootloader, QObject *parent = nullptr);

    void setHostToDeviceFilter(Filter filter) { m_toDevice = std::move(filter); }
    void setDeviceToHostFilter(Filter filter) { m_toHost = std::move(filter); }
    void setHold(bool hold);
    // Puts bytes into the client's receive buffer as if the device had sent them.
    void injectFromDevice(const QByteArray &bytes);

    // Every write() of the client, in order, one entry per call.
    const QList<QByteArray> &hostWrites() const { return m_hostWrites; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_rx.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    void scheduleDelivery();
    void deliver();

    VirtualBootloader *m_bootloader;
    Filter m_toDevice;
    Filter m_toHost;
    QByteArray m_tx;
    QByteArray m_rx;
    QList<QByteArray> m_hostWrites;
    bool m_hold = false;
    bool m_deliveryQueued = false;
};
