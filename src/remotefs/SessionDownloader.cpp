#include "SessionDownloader.h"

#include "pulselog/PulseLog.h"

#include <QDebug>

SessionDownloader::SessionDownloader(QObject *parent) : QObject(parent), m_pulseLog(new PulseLog()) {}

SessionDownloader::~SessionDownloader()
{
    setRemoteFileSystem(nullptr);
    delete m_pulseLog;
}

bool SessionDownloader::downloading() const
{
    return m_flag && m_remote && m_remote->status() == RemoteFileSystem::BusyDownloading;
}

void SessionDownloader::setFlag(bool flag)
{
    m_flag = flag;
    reportDownloading();
}

void SessionDownloader::reportDownloading()
{
    const bool now = downloading();
    if (now == m_reported)
        return;
    m_reported = now;
    emit downloadingChanged(now);
}

void SessionDownloader::setRemoteFileSystem(RemoteFileSystem *remoteFileSystem)
{
    for (auto &c : m_connections)
        disconnect(c);
    m_remote = remoteFileSystem;
    if (m_remote) {
        m_connections[0] = connect(m_remote, &RemoteFileSystem::sessionSectorDownloaded, this,
                                   &SessionDownloader::onSessionSectorDownloaded);
        m_connections[1] = connect(m_remote, &RemoteFileSystem::sessionDownloadFinished, this,
                                   &SessionDownloader::onSessionDownloadFinished);
        m_connections[2] =
            connect(m_remote, &RemoteFileSystem::statusChanged, this, &SessionDownloader::onRemoteStatusChanged);
        m_connections[3] = connect(m_remote, &QObject::destroyed, this, [this]() { setRemoteFileSystem(nullptr); });
    }
    setFlag(false);
}

void SessionDownloader::beginDownload(RemoteFilesystemSession *session)
{
    qInfo() << "SessionDownloader::beginDownload" << (session ? session->sessionIndex() : 0xFFFFFFFFu)
            << "remoteFs:" << static_cast<void *>(m_remote);
    if (!m_remote || !session)
        return;
    m_session = session->shared_from_this();
    m_pulseLog->clear();
    // Raised first: a download that cannot start reports its end from within the call.
    setFlag(true);
    m_remote->downloadSession(session);
}

void SessionDownloader::onSessionSectorDownloaded(QByteArray sectorBytes)
{
    if (m_session && m_session->filetype() == 1)
        m_pulseLog->appendRawData(sectorBytes);
}

void SessionDownloader::onSessionDownloadFinished(bool success, QString error)
{
    setFlag(false);
    emit sessionDownloadFinished(success, error);
}

void SessionDownloader::onRemoteStatusChanged(RemoteFileSystem::Status)
{
    // A cancellation, or another operation overtaking the download, ends `downloading` without
    // a finish of this download ever arriving.
    reportDownloading();
}

void SessionDownloader::cancelDownload()
{
    if (m_flag && m_remote && m_remote->status() == RemoteFileSystem::BusyDownloading)
        m_remote->cancelOperation();
}
