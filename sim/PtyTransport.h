#pragma once

#include "LineTransport.h"

#include <QString>

// A POSIX pseudo-terminal standing in for the logger's USB serial adapter. The host opens
// the slave side (its path, or the optional symlink) like any serial port; the virtual
// logger holds the master.
//
// Unplugging closes the master, so the host's port hangs up and the slave node disappears;
// replugging creates a new pty and re-points the symlink at it. The transport keeps a slave
// descriptor of its own so the master never hangs up between host sessions, and watches the
// slave node with inotify to know whether a host has it open: while nobody does, the
// device's output is discarded instead of piling up for the next program that opens it.
class PtyTransport : public LineTransport
{
public:
    explicit PtyTransport(const QString &linkPath = QString());
    ~PtyTransport() override;

    // Creates the pty (and the symlink). False with a message on failure.
    bool open(QString *error);

    int pollFd() const override { return m_master; }
    int auxFd() const override { return m_inotify; }
    void handleAuxEvents() override;
    QByteArray readFromHost() override;
    qint64 writeToHost(const char *data, qint64 size) override;
    bool hostAttached() const override { return m_hostOpenCount > 0; }
    bool isPlugged() const override { return m_master >= 0; }
    void unplug() override;
    bool replug(QString *error) override;
    QString portName() const override;

    // The current slave path (/dev/pts/N); empty while unplugged.
    QString slavePath() const { return m_slavePath; }
    QString linkPath() const { return m_linkPath; }

private:
    void closeAll();
    bool placeLink(QString *error);

    QString m_linkPath;
    QString m_slavePath;
    int m_master = -1;
    int m_ownSlave = -1;
    int m_inotify = -1;
    int m_hostOpenCount = 0;
};
