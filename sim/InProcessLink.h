#pragma once

#include <QByteArray>

#include <mutex>

class InProcessSerialDevice;

// Shared state of an in-process line: the two byte queues and one wake-up descriptor
// (eventfd) per side. The byte queues are guarded by one mutex; each side sleeps on its
// descriptor, so nothing posts across threads through Qt's event queues. Both ends hold
// the link by shared pointer, so either may go away first.
class InProcessLink
{
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
    // Readable when bytes for the host have arrived; drainHostNotify() resets it.
    int hostNotifyFd() const { return m_hostFd; }
    void drainHostNotify();

private:
    static void signal(int fd);

    mutable std::mutex m_mutex;
    QByteArray m_toDevice;
    QByteArray m_toHost;
    InProcessSerialDevice *m_host = nullptr;
    bool m_plugged = true;
    int m_eventFd = -1;
    int m_hostFd = -1;
};
