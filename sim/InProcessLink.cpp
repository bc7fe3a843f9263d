#include "InProcessLink.h"

#include "InProcessSerialDevice.h"

#include <QMetaObject>

#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

InProcessLink::InProcessLink() : m_eventFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

InProcessLink::~InProcessLink()
{
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

void InProcessLink::wakeDevice()
{
    const uint64_t one = 1;
    if (m_eventFd >= 0)
        (void)!::write(m_eventFd, &one, sizeof one);
}

QByteArray InProcessLink::takeFromHost()
{
    uint64_t value = 0;
    if (m_eventFd >= 0)
        (void)!::read(m_eventFd, &value, sizeof value);
    std::lock_guard<std::mutex> lock(m_mutex);
    QByteArray out;
    out.swap(m_toDevice);
    return out;
}

void InProcessLink::sendToHost(const char *data, qint64 size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_host || !m_plugged || size <= 0)
        return;  // nobody listening: lost, like bytes on an unplugged cable
    m_toHost.append(data, int(size));
    if (!m_notifyPending) {
        m_notifyPending = true;
        // Posted while the lock keeps the device alive; Qt drops the call if the device is
        // deleted before it runs.
        QMetaObject::invokeMethod(m_host, &InProcessSerialDevice::deliverReadyRead, Qt::QueuedConnection);
    }
}

bool InProcessLink::hostAttached() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_host != nullptr;
}

void InProcessLink::setPlugged(bool plugged)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_plugged = plugged;
    if (!plugged) {
        m_toDevice.clear();
        m_toHost.clear();
    }
}

bool InProcessLink::isPlugged() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plugged;
}

void InProcessLink::attachHost(InProcessSerialDevice *device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_host = device;
    m_notifyPending = false;
}

void InProcessLink::detachHost(InProcessSerialDevice *device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_host == device) {
        m_host = nullptr;
        m_toHost.clear();
    }
}

qint64 InProcessLink::hostBytesAvailable() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_toHost.size();
}

qint64 InProcessLink::hostRead(char *data, qint64 maxSize)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int n = int(qMin<qint64>(maxSize, m_toHost.size()));
    if (n > 0) {
        std::memcpy(data, m_toHost.constData(), size_t(n));
        m_toHost.remove(0, n);
    }
    return n;
}

qint64 InProcessLink::hostWrite(const char *data, qint64 size)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_plugged)
            m_toDevice.append(data, int(size));
    }
    wakeDevice();
    return size;  // a write into an unplugged cable still "succeeds" locally
}

void InProcessLink::clearNotifyPending()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notifyPending = false;
}
