#pragma once

#include "EccParameters.h"
#include "RemoteFilesystemSession.h"
#include "RemoteFlashAdapter.h"
#include "SessionEntry.h"
#include "SpiFlashFilesystem.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class TarrowindFirmware;
class QThread;

using RemoteSpiFlashFilesystem = SpiFlashFilesystem<TC58CYG1S3HxAIDetail::EccParameters, RemoteFlashAdapter>;

// The flash work of a RemoteFileSystem, living in that object's worker thread: mount, session
// scan and session download. Every request carries the number of the operation it belongs to,
// and every result goes back with that number, so the owner can tell the results of the
// operation it is waiting for from those of one it has given up. Only cancel() and retire() are
// called from other threads.
class RemoteFileSystemImpl : public QObject
{
    Q_OBJECT

public:
    // `sessionThread` is where published session objects are moved to; `mountOperation` is the
    // number the mount's result carries.
    RemoteFileSystemImpl(QThread *sessionThread, quint64 mountOperation, QObject *parent = nullptr);
    ~RemoteFileSystemImpl() override;

    // Any thread: cancels the given operation and every earlier one, and ends a read that waits.
    void cancel(quint64 operation);
    // Any thread: cancels everything, and no request queued from now on or still queued starts
    // any work. The owner calls it before it waits for this thread to take the worker down: a
    // request that started a read then would wait for the owner's thread, which waits for it.
    void retire();

public slots:
    void setTarrowindFirmware(TarrowindFirmware *remoteKestrelcove);
    void onScanRequested(quint64 operation);
    void onSessionDownloadRequested(RemoteFilesystemSessionPtr session, quint64 operation);
    void onCancelOperationRequested(quint64 operation);

signals:
    void mountFinished(quint64 operation, bool success, QString error);
    void scanStarted(quint64 operation);
    void metaScanStarted(quint64 operation);
    void scanFoundSession(quint64 operation, RemoteFilesystemSessionPtr session);
    void scanFinished(quint64 operation, bool success);
    void sessionSectorDownloaded(quint64 operation, QByteArray sectorBytes);
    void sessionDownloadFinished(quint64 operation, bool success, QString error);

private slots:
    void remoteExportFinished(uint16_t requestId, bool mounted, QByteArray exportBytes);

private:
    void onStateRequestSent(uint16_t requestId);
    void onClientPacketFinished(uint16_t requestId, int outcome);
    void endMount(bool success, const QString &message);
    // Worker thread, at the start of an operation: false when it must not run.
    bool startOperation(quint64 operation);
    void abortPendingRead();
    void replaceFilesystem(std::unique_ptr<RemoteSpiFlashFilesystem> fs);
    bool isCancelled(quint64 operation) const { return m_retired.load() || operation <= m_cancelledThrough.load(); }

    // Cleared by Qt when the client is destroyed (in the client's thread, before the owner
    // tears this worker down).
    QPointer<TarrowindFirmware> m_client;
    QThread *m_sessionThread;
    const quint64 m_mountOperation;
    // Swapped only on the worker thread; the lock keeps a cancellation from another thread off a
    // filesystem that is being replaced.
    std::mutex m_fsMutex;
    std::unique_ptr<RemoteSpiFlashFilesystem> m_fs;
    std::map<uint32_t, SessionEntry> m_sessions;
    uint16_t m_pendingStateRequest = 0;
    // Operations numbered up to this one are cancelled.
    std::atomic<quint64> m_cancelledThrough{0};
    std::atomic<bool> m_retired{false};
    QMetaObject::Connection m_stateConnection;
    QMetaObject::Connection m_stateEndConnection;
};
