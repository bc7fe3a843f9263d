#pragma once

#include "LineTransport.h"

#include <memory>

class InProcessLink;
class InProcessSerialDevice;
class QObject;

// The device end of an in-process line; createHostDevice() makes the host end.
class InProcessTransport : public LineTransport
{
public:
    InProcessTransport();
    ~InProcessTransport() override;

    // A new open QIODevice for the host, owned by the caller (or `parent`), living in the
    // calling thread. Creating a second one detaches the first.
    InProcessSerialDevice *createHostDevice(QObject *parent = nullptr);

    int pollFd() const override;
    QByteArray readFromHost() override;
    qint64 writeToHost(const char *data, qint64 size) override;
    bool hostAttached() const override;
    bool isPlugged() const override;
    void unplug() override;
    bool replug(QString *error) override;
    QString portName() const override { return QStringLiteral("in-process"); }

private:
    std::shared_ptr<InProcessLink> m_link;
};
