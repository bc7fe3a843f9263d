#pragma once

// How the remote filesystem library reports failure (nothing here throws):
// - RemoteFileSystem, the service: status() (Errored, or back to Unmounted when the client
//   goes), and the outcome signals sessionIndexingFinished(success) and
//   sessionDownloadFinished(success, error text). SessionDownloader passes the latter on.
// - The flash and filesystem code below it (SpiFlashFilesystem, RemoteFlashAdapter, records)
//   returns bool, a read status or a step result, with a message out-parameter where a caller
//   shows the reason (importState).

#include "RemoteFilesystemSession.h"

#include <cstdint>
#include <QObject>
#include <QThread>
#include <QVariantList>
#include <vector>

class TarrowindFirmware;
class RemoteFileSystemImpl;

// The user interface's view of the logger's flash: mounts when given a protocol client, lists
// the closed sessions and downloads one on request. The flash work runs in a worker object
// in this thread (the object itself is that thread); requests reach it through queued
// signals, and only cancellation runs worker code in the caller's thread. The worker serves one
// operation at a time; what the user interface sees (status, lists, records, ends) always
// belongs to the operation it asked for last.
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
    // The requests to the worker carry the number of the operation they start or cancel.
    void scanRequested(quint64 operation);
    void sessionDownloadRequested(RemoteFilesystemSessionPtr session, quint64 operation);
    void cancelOperationRequested(quint64 operation);

private:
    void setStatus(Status status);
    void deleteWorker();
    void onClientDestroyed();
    void connectWorker();
    // A result of `operation` counts only while that is the operation asked for last; progress
    // and status changes only while it has not been cancelled either.
    bool isCurrent(quint64 operation) const { return operation == m_operation; }
    bool isLive(quint64 operation) const { return operation == m_operation && operation != m_cancelledOperation; }

    TarrowindFirmware *m_client = nullptr;
    RemoteFileSystemImpl *m_worker = nullptr;
    // The operation asked for last (the mount, a scan or a download); a new number is also taken
    // when a worker is retired, so nothing it still has queued counts. Numbers never repeat.
    quint64 m_operation = 0;
    quint64 m_cancelledOperation = 0;
    std::vector<RemoteFilesystemSessionPtr> m_sessions;
    std::vector<RemoteFilesystemSessionPtr> m_previousSessions;
    Status m_status = Unmounted;
    uint32_t m_sessionDownloading = 0;
    QMetaObject::Connection m_clientDestroyed;
};
