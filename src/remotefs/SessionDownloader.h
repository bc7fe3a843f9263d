#pragma once

#include "RemoteFileSystem.h"
#include "RemoteFilesystemSession.h"

#include <QObject>
#include <QPointer>

class PulseLog;

// Downloads one session of a RemoteFileSystem into the pulse log it owns, and tells the user
// interface while that runs and how it ended. GUI thread only.
class SessionDownloader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(RemoteFileSystem *remoteFileSystem READ remoteFileSystem WRITE setRemoteFileSystem)
    Q_PROPERTY(PulseLog *pulseLog READ pulseLog CONSTANT)
    Q_PROPERTY(bool downloading READ downloading NOTIFY downloadingChanged)

public:
    explicit SessionDownloader(QObject *parent = nullptr);
    ~SessionDownloader() override;

    RemoteFileSystem *remoteFileSystem() const { return m_remote; }
    PulseLog *pulseLog() const { return m_pulseLog; }
    bool downloading() const;

public slots:
    void setRemoteFileSystem(RemoteFileSystem *remoteFileSystem);
    void beginDownload(RemoteFilesystemSession *session);
    void cancelDownload();

signals:
    void downloadingChanged(bool downloading);
    void sessionDownloadFinished(bool success, QString error);

private slots:
    void onSessionSectorDownloaded(QByteArray sectorBytes);
    void onSessionDownloadFinished(bool success, QString error);
    void onRemoteStatusChanged(RemoteFileSystem::Status status);

private:
    void setFlag(bool flag);
    // Tells bindings whenever `downloading` changes, be it through the flag or the remote status.
    void reportDownloading();

    RemoteFileSystem *m_remote = nullptr;
    PulseLog *m_pulseLog;
    RemoteFilesystemSessionPtr m_session;
    bool m_flag = false;
    bool m_reported = false;
    QMetaObject::Connection m_connections[4];
};
