#pragma once

#include <QByteArray>
#include <QString>

// The device end of a serial line: what the virtual logger's thread polls, reads and writes.
// Implementations are not thread-safe beyond what they document; the runner calls them from
// its own thread with its lock held.
class LineTransport
{
public:
    virtual ~LineTransport();

    // Descriptor that polls readable when bytes from the host (or transport events) are
    // waiting; -1 while unplugged.
    virtual int pollFd() const = 0;
    // A second descriptor to poll for readability (-1 if none); handleAuxEvents() drains it.
    virtual int auxFd() const { return -1; }
    virtual void handleAuxEvents() {}

    // Bytes the host has sent, without blocking (empty if none).
    virtual QByteArray readFromHost() = 0;
    // Writes without blocking; returns how many bytes the line took (0 when full).
    virtual qint64 writeToHost(const char *data, qint64 size) = 0;
    // True while a host program has the port open. What the device sends while nobody
    // listens is lost, as on a real cable.
    virtual bool hostAttached() const = 0;

    virtual bool isPlugged() const = 0;
    // Pulls the cable: the host's port fails (hang-up) and every byte in flight is lost.
    virtual void unplug() = 0;
    // Plugs the device back in (a new port may appear).
    virtual bool replug(QString *error) = 0;
    // The name the host opens (a pty path or symlink, or a description).
    virtual QString portName() const = 0;
};
