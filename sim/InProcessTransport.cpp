#include "InProcessTransport.h"

#include "InProcessLink.h"
#include "InProcessSerialDevice.h"

InProcessTransport::InProcessTransport() : m_link(std::make_shared<InProcessLink>()) {}

InProcessTransport::~InProcessTransport() = default;

InProcessSerialDevice *InProcessTransport::createHostDevice(QObject *parent)
{
    return new InProcessSerialDevice(m_link, parent);
}

int InProcessTransport::pollFd() const
{
    return m_link->wakeFd();
}

QByteArray InProcessTransport::readFromHost()
{
    return m_link->takeFromHost();
}

qint64 InProcessTransport::writeToHost(const char *data, qint64 size)
{
    m_link->sendToHost(data, size);
    return size;
}

bool InProcessTransport::hostAttached() const
{
    return m_link->hostAttached();
}

bool InProcessTransport::isPlugged() const
{
    return m_link->isPlugged();
}

void InProcessTransport::unplug()
{
    m_link->setPlugged(false);
}

bool InProcessTransport::replug(QString *)
{
    m_link->setPlugged(true);
    return true;
}
