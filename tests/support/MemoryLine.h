#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QPointer>

#include <functional>

// An in-memory serial line, opened at construction. Its far end is either another MemoryLine
// (connectPair) or a device model that answers what it receives (setFarEnd). Bytes written
// reach the far end in a later turn of the event loop and answers come back through
// readyRead, as on a real port; everything written within one turn travels as one chunk.
// Filters in either direction inject line faults (return fewer, more or changed bytes); a
// hold keeps written bytes in flight until released.
class MemoryLine : public QIODevice
{
    Q_OBJECT
public:
    using Transform = std::function<QByteArray(const QByteArray &)>;

    explicit MemoryLine(QObject *parent = nullptr);

    // Two ends of one line: what one end writes, the other reads.
    static void connectPair(MemoryLine *a, MemoryLine *b);
    // A device model at the far end: it receives each chunk and returns its answer.
    void setFarEnd(Transform device) { m_farEnd = std::move(device); }

    // Faults on the way out (what this end writes) and on the way in (what it receives).
    void setOutgoingFilter(Transform filter) { m_outgoing = std::move(filter); }
    void setIncomingFilter(Transform filter) { m_incoming = std::move(filter); }
    void setHold(bool hold);
    // Delivers inside write() instead of a later turn, so answers can arrive while the writer
    // is still inside its own write call.
    void setSynchronous(bool synchronous) { m_synchronous = synchronous; }
    // Puts bytes into this end's receive buffer as if the far end had sent them.
    void injectIncoming(const QByteArray &bytes);

    // Every write() of this end, in order, one entry per call.
    const QList<QByteArray> &writes() const { return m_writes; }
    // Everything this end has written, as one array.
    const QByteArray &writtenLog() const { return m_writtenLog; }
    qint64 bytesWrittenTotal() const { return m_writtenLog.size(); }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_rx.size() + QIODevice::bytesAvailable(); }
    // Written and not yet on the line (a hold keeps them here); bytesWritten() when they go.
    qint64 bytesToWrite() const override { return m_tx.size(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    void scheduleDelivery();
    void deliver();
    void receive(QByteArray bytes);

    QPointer<MemoryLine> m_peer;
    Transform m_farEnd;
    Transform m_outgoing;
    Transform m_incoming;
    QByteArray m_tx;
    QByteArray m_rx;
    QList<QByteArray> m_writes;
    QByteArray m_writtenLog;
    bool m_hold = false;
    bool m_synchronous = false;
    bool m_deliveryQueued = false;
};
