#include "InProcessSerialDevice.h"

#include "InProcessLink.h"

#include <QSocketNotifier>

InProcessSerialDevice::InProcessSerialDevice(std::shared_ptr<InProcessLink> link, QObject *parent)
    : QIODevice(parent), m_link(std::move(link))
{
    QIODevice::open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    m_link->attachHost(this);
    m_notifier = new QSocketNotifier(m_link->hostNotifyFd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InProcessSerialDevice::onNotified);
}

InProcessSerialDevice::~InProcessSerialDevice()
{
    m_link->detachHost(this);
}

qint64 InProcessSerialDevice::bytesAvailable() const
{
    return m_link->hostBytesAvailable() + QIODevice::bytesAvailable();
}

void InProcessSerialDevice::close()
{
    m_link->detachHost(this);
    m_notifier->setEnabled(false);
    QIODevice::close();
}

qint64 InProcessSerialDevice::readData(char *data, qint64 maxSize)
{
    return m_link->hostRead(data, maxSize);
}

qint64 InProcessSerialDevice::writeData(const char *data, qint64 maxSize)
{
    return m_link->hostWrite(data, maxSize);
}

void InProcessSerialDevice::onNotified()
{
    m_link->drainHostNotify();
    if (isOpen() && m_link->hostBytesAvailable() > 0)
        emit readyRead();
}
