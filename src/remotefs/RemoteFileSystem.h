#pragma once

// How the remote filesystem library reports failure (nothing here throws):
// - RemoteFileSystem, the service: status() (Errored, or back to Unmounted when the client
//   goes), and the outcome signals sessionIndexingFinished(success) and
//   sessionDownloadFinished(success, error text). SessionDownloader passes the latter on.
// - The flash and filesystem code below it (SpiFlashFilesystem, RemoteFlashAdapter, records)
//   returns bool, a read status or a step result, with a message out-parameter where a caller
//   shows the reason (importState).

#include "RemoteFilesystemSession.h"

#include <QObject>
#include <QThread>
#include <QVariantList>
#include <cstdint>
#include <vector>

class TarrowindFirmware;
class RemoteFileSystemImpl;

// The user interface's view of the logger's flash: mounts when given a protocol client, lists
// the closed sessions and downloads one on request. The flash work runs in a worker object
// in this thread (the object itself is that thread); requests reach it through queued
// signals, and only cancellation runs worker code in the caller's thread.
class RemoteFileSystem : public QThread
{
    Q_OBJECT
    Q_PROPERTY(TarrowindFirmware *remoteKestrelcove READ remoteKestrelcove WRITE setTarrowindFirmware NOTIFY
                   remoteKestrelcoveChanged)
    Q_PROPERTY(QVariantList sessions READ sessions NOTIFY sessionsChanged)
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    Q_PROPERTY(uint32_t sessionDownloading READ sessionDownloading NOTIFY sessionDownloadingChanged)

public:
    enum Status {
        Unmounted = 0,
        Mounted = 1,
        BusyMounting = 2,
        BusyScanning = 3,
        BusyScanningMeta = 4,
        BusyDownloading = 5,
        Errored = 6,
    };
    Q_ENUM(Status)

    explicit RemoteFileSystem(QObject *parent = nullptr);
    ~RemoteFileSystem() override;

    TarrowindFirmware *remoteKestrelcove() const { return m_client; }
    QVariantList sessions() const;
    Status status() const { return m_status; }
    uint32_t sessionDownloading() const { return m_sessionDownloading; }
    // The sessions of the current scan, in the order found (newest first).
    std::vector<RemoteFilesystemSessionPtr> sessionList() const { return m_sessions; }

public slots:
    void setTarrowindFirmware(TarrowindFirmware *remoteKestrelcove);
    void beginScanningSessions();
    void downloadSession(RemoteFilesystemSession *session);
    void cancelOperation();

signals:
    void statusChanged(RemoteFileSystem::Status status);
    void remoteKestrelcoveChanged(TarrowindFirmware *remoteKestrelcove);
    void sessionIndexingFinished(bool success);
    void sessionsChanged();
    void sessionDownloadingChanged(uint32_t sessionDownloading);
    void sessionSectorDownloaded(QByteArray sectorBytes);
    void sessionDownloadFinished(bool success, QString error);
    void scanRequested();
    void sessionDownloadRequested(RemoteFilesystemSessionPtr session);
    void cancelOperationRequested();

private:
    void setStatus(Status status);
    void deleteWorker();
    void onClientDestroyed();

    TarrowindFirmware *m_client = nullptr;
    RemoteFileSystemImpl *m_worker = nullptr;
    // Identifies the current worker; its queued results carry the value they were connected with.
    uint64_t m_workerGeneration = 0;
    std::vector<RemoteFilesystemSessionPtr> m_sessions;
    std::vector<RemoteFilesystemSessionPtr> m_previousSessions;
    Status m_status = Unmounted;
    uint32_t m_sessionDownloading = 0;
    QMetaObject::Connection m_clientDestroyed;
};
