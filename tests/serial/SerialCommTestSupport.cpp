#include "SerialCommTestSupport.h"

SerialCommObserver::SerialCommObserver(SerialComm &comm) : m_comm(comm)
{
    connect(&comm, &SerialComm::openingChanged, this,
            [this](bool opening) { (opening ? m_jobsStarted : m_jobsFinished)++; });
    connect(&comm, &SerialComm::lastErrorChanged, this, [this](const QString &e) { m_lastErrors << e; });
    connect(&comm, &IODeviceFactory::ioDeviceChanged, this, [this] {
        // A user of the factory: drop the old device, attach to the new one at once.
        if (m_attached)
            disconnect(m_attached, nullptr, this, nullptr);
        m_attached = m_comm.serialPortObject();
        if (!m_attached)
            return;
        if (m_adopted.isEmpty() || m_adopted.last() != m_attached)
            m_adopted << QPointer<MlSerialPort>(m_attached);
        connect(m_attached, &QIODevice::readyRead, this, [this] { ++m_readyReads; });
    });
}
