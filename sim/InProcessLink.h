#pragma once

#include <QByteArray>

#include <mutex>

class InProcessSerialDevice;

// Shared state of an in-process line: the two byte queues, the wake-up descriptor of the
// device's thread and the host device to notify. Every member is guarded by one mutex;
// both ends hold the link by shared pointer, so either may go away first.
class InProcessLink {
public:
    InProcessLink();
    ~InProcessLink();
    InProcessLink(const InProcessLink &) = delete;
    InProcessLink &operator=(const InProcessLink &) = delete;

    // Device side (the virtual logger's thread).
    int wakeFd() const { return m_eventFd; }
    QByteArray takeFromHost();
    void sendToHost(const char *data, qint64 size);
    bool hostAttached() const;
    void setPlugged(bool plugged);
    bool isPlugged() const;

    // Host side (the QIODevice's thread).
    void attachHost(InProcessSerialDevice *device);
    void detachHost(InProcessSerialDevice *device);
    qint64 hostBytesAvailable() const;
    qint64 hostRead(char *data, qint64 maxSize);
    qint64 hostWrite(const char *data, qint64 size);
    void clearNotifyPending();

private:
    void wakeDevice();

    mutable std::mutex m_mutex;
    QByteArray m_toDevice;
    QByteArray m_toHost;
    InProcessSerialDevice *m_host = nullptr;
    bool m_notifyPending = false;
    bool m_plugged = true;
    int m_eventFd = -1;
};
