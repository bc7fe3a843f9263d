#include "BootloaderLine.h"

#include <QMetaObject>
#include <cstring>

BootloaderLine::BootloaderLine(VirtualBootloader *bootloader, QObject *parent)
    : QIODevice(parent), m_bootloader(bootloader)
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void BootloaderLine::setHold(bool hold)
{
    m_hold = hold;
    if (!hold)
        scheduleDelivery();
}

void BootloaderLine::injectFromDevice(const QByteArray &bytes)
{
    m_rx.append(bytes);
    QMetaObject::invokeMethod(this, [this] { emit readyRead(); }, Qt::QueuedConnection);
}

qint64 BootloaderLine::readData(char *data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, m_rx.size());
    std::memcpy(data, m_rx.constData(), size_t(n));
    m_rx.remove(0, int(n));
    return n;
}

qint64 BootloaderLine::writeData(const char *data, qint64 size)
{
    const QByteArray bytes(data, int(size));
    m_hostWrites.append(bytes);
    m_tx.append(bytes);
    scheduleDelivery();
    return size;
}

void BootloaderLine::scheduleDelivery()
{
    if (m_deliveryQueued || m_hold)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(this, [this] { deliver(); }, Qt::QueuedConnection);
}

void BootloaderLine::deliver()
{
    m_deliveryQueued = false;
    if (m_hold || m_tx.isEmpty())
        return;
    QByteArray toDevice = m_tx;
    m_tx.clear();
    if (m_toDevice)
        toDevice = m_toDevice(toDevice);
    QByteArray answer = m_bootloader->receive(toDevice);
    if (m_toHost)
        answer = m_toHost(answer);
    if (answer.isEmpty())
        return;
    m_rx.append(answer);
    emit readyRead();
}
