#include "MemoryPipe.h"

#include <QMetaObject>
#include <cstring>

MemoryPipe::MemoryPipe(QObject *parent) : QIODevice(parent) {}

void MemoryPipe::connectPair(MemoryPipe *a, MemoryPipe *b)
{
    a->m_peer = b;
    b->m_peer = a;
    a->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    b->open(QIODevice::ReadWrite | QIODevice::Unbuffered);
}

qint64 MemoryPipe::bytesAvailable() const
{
    return m_buffer.size() + QIODevice::bytesAvailable();
}

qint64 MemoryPipe::readData(char *data, qint64 maxSize)
{
    const qint64 n = std::min<qint64>(maxSize, m_buffer.size());
    std::memcpy(data, m_buffer.constData(), size_t(n));
    m_buffer.remove(0, int(n));
    return n;
}

qint64 MemoryPipe::writeData(const char *data, qint64 size)
{
    m_written += size;
    m_writtenLog.append(data, int(size));
    if (m_peer)
        m_peer->deliver(QByteArray(data, int(size)));
    return size;
}

void MemoryPipe::deliver(const QByteArray &bytes)
{
    m_buffer.append(bytes);
    if (m_synchronous) {
        emit readyRead();
        return;
    }
    if (m_notifyPending)
        return;
    m_notifyPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_notifyPending = false;
            if (!m_buffer.isEmpty())
                emit readyRead();
        },
        Qt::QueuedConnection);
}
