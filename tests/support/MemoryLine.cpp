#include "MemoryLine.h"

#include <QMetaObject>

#include <cstring>
#include <utility>

MemoryLine::MemoryLine(QObject *parent) : QIODevice(parent)
{
    open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void MemoryLine::connectPair(MemoryLine *a, MemoryLine *b)
{
    a->m_peer = b;
    b->m_peer = a;
}

void MemoryLine::setHold(bool hold)
{
    m_hold = hold;
    if (!hold)
        scheduleDelivery();
}

void MemoryLine::injectIncoming(const QByteArray &bytes)
{
    m_rx.append(bytes);
    QMetaObject::invokeMethod(
        this, [this] { emit readyRead(); }, Qt::QueuedConnection);
}

qint64 MemoryLine::readData(char *data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, m_rx.size());
    std::memcpy(data, m_rx.constData(), size_t(n));
    m_rx.remove(0, int(n));
    return n;
}

qint64 MemoryLine::writeData(const char *data, qint64 size)
{
    const QByteArray bytes(data, int(size));
    m_writes.append(bytes);
    m_writtenLog.append(bytes);
    m_tx.append(bytes);
    if (m_synchronous && !m_hold)
        deliver();
    else
        scheduleDelivery();
    return size;
}

void MemoryLine::scheduleDelivery()
{
    if (m_deliveryQueued || m_hold)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(
        this, [this] { deliver(); }, Qt::QueuedConnection);
}

void MemoryLine::deliver()
{
    m_deliveryQueued = false;
    if (m_hold || m_tx.isEmpty())
        return;
    QByteArray bytes = std::exchange(m_tx, QByteArray());
    emit bytesWritten(bytes.size());
    if (m_outgoing)
        bytes = m_outgoing(bytes);
    if (m_peer)
        m_peer->receive(bytes);
    else if (m_farEnd)
        receive(m_farEnd(bytes));
}

void MemoryLine::receive(QByteArray bytes)
{
    if (m_incoming)
        bytes = m_incoming(bytes);
    if (bytes.isEmpty())
        return;
    m_rx.append(bytes);
    emit readyRead();
}
