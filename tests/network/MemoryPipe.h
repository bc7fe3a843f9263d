#pragma once

#include <QIODevice>
#include <QPointer>

// One end of an in-memory byte pipe. What one end writes the other end reads; readyRead is
// delivered from the event loop like a serial port's, or at once in synchronous mode (to
// prove the client copes with answers that arrive inside its own write call).
class MemoryPipe : public QIODevice
{
    Q_OBJECT
public:
    explicit MemoryPipe(QObject *parent = nullptr);

    // Connects two ends and opens both.
    static void connectPair(MemoryPipe *a, MemoryPipe *b);

    void setSynchronous(bool synchronous) { m_synchronous = synchronous; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    qint64 bytesWrittenTotal() const { return m_written; }
    // Everything this end has written so far.
    const QByteArray &writtenLog() const { return m_writtenLog; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    void deliver(const QByteArray &bytes);

    QPointer<MemoryPipe> m_peer;
    QByteArray m_buffer;
    QByteArray m_writtenLog;
    qint64 m_written = 0;
    bool m_synchronous = false;
    bool m_notifyPending = false;
};
