#pragma once

#include "EccParameters.h"
#include "RemoteFilesystemSession.h"
#include "RemoteFlashAdapter.h"
#include "SessionEntry.h"
#include "SpiFlashFilesystem.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

class TarrowindFirmware;
class QThread;

using RemoteSpiFlashFilesystem = SpiFlashFilesystem<TC58CYG1S3HxAIDetail::EccParameters, RemoteFlashAdapter>;

// The flash work of a RemoteFileSystem, living in that object's worker thread: mount, session
// scan and session download. Only cancel() and abortPendingRead() are called from elsewhere.
class RemoteFileSystemImpl : public QObject
{
    Q_OBJECT

public:
    // `sessionThread` is where published session objects are moved to.
    explicit RemoteFileSystemImpl(QThread *sessionThread, QObject *parent = nullptr);
    ~RemoteFileSystemImpl() override;

    // Any thread: sets the cancel flag and ends a read that is waiting.
    void cancel();

public slots:
    void setTarrowindFirmware(TarrowindFirmware *remoteKestrelcove);
    void onScanRequested();
    void onSessionDownloadRequested(RemoteFilesystemSessionPtr session);
    void onCancelOperationRequested();

signals:
    void mountFinished(bool success, QString error);
    void scanStarted();
    void metaScanStarted();
    void scanFoundSession(RemoteFilesystemSessionPtr session);
    void scanFinished(bool success);
    void sessionSectorDownloaded(QByteArray sectorBytes);
    void sessionDownloadFinished(bool success, QString error);

private slots:
    void remoteExportFinished(uint16_t requestId, bool mounted, QByteArray exportBytes);

private:
    void onStateRequestSent(uint16_t requestId);
    void abortPendingRead();
    void replaceFilesystem(std::unique_ptr<RemoteSpiFlashFilesystem> fs);
    bool isCancelled() const { return m_cancel.load(); }

    // Cleared by Qt when the client is destroyed (in the client's thread, before the owner
    // tears this worker down).
    QPointer<TarrowindFirmware> m_client;
    QThread *m_sessionThread;
    // Swapped only on the worker thread; the lock keeps a cancellation from another thread off a
    // filesystem that is being replaced.
    std::mutex m_fsMutex;
    std::unique_ptr<RemoteSpiFlashFilesystem> m_fs;
    std::map<uint32_t, SessionEntry> m_sessions;
    uint16_t m_pendingStateRequest = 0;
    std::atomic<bool> m_cancel{false};
    QMetaObject::Connection m_stateConnection;
};
