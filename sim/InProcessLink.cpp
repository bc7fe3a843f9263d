#include "InProcessLink.h"

#include "InProcessSerialDevice.h"

#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

InProcessLink::InProcessLink()
    : m_eventFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_hostFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

InProcessLink::~InProcessLink()
{
    for (int fd : {m_eventFd, m_hostFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void InProcessLink::signal(int fd)
{
    const uint64_t one = 1;
    if (fd >= 0)
        (void)!::write(fd, &one, sizeof one);
}

void InProcessLink::drainHostNotify()
{
    uint64_t value = 0;
    if (m_hostFd >= 0)
        (void)!::read(m_hostFd, &value, sizeof value);
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_host || !m_plugged || size <= 0)
            return;  // nobody listening: lost, like bytes on an unplugged cable
        m_toHost.append(data, int(size));
    }
    signal(m_hostFd);
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
    signal(m_eventFd);
    return size;  // a write into an unplugged cable still "succeeds" locally
}
