#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal whose slave side plays the serial device for the port under test; the
// test talks to the port through the master side with plain system calls.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Writes everything (blocking in poll while the pty is full), false on failure.
    bool writeAll(const QByteArray &data);
    // Reads until `count` bytes have arrived or `timeoutMs` passed without progress.
    QByteArray readExactly(int count, int timeoutMs = 3000);
    // Whatever arrives within `timeoutMs`.
    QByteArray readFor(int timeoutMs);
    // Closes the master: the slave sees a hang-up.
    void closeMaster();

private:
    int m_master = -1;
    QString m_slavePath;
};
