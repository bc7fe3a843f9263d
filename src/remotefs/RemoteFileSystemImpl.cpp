#include "RemoteFileSystemImpl.h"

#include "CrossThreadFunctor.h"
#include "TarrowindFirmware.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

RemoteFileSystemImpl::RemoteFileSystemImpl(QThread *sessionThread, QObject *parent)
    : QObject(parent), m_sessionThread(sessionThread)
{
}

RemoteFileSystemImpl::~RemoteFileSystemImpl()
{
    m_cancel = true;
    replaceFilesystem(nullptr);
}

void RemoteFileSystemImpl::cancel()
{
    m_cancel = true;
    abortPendingRead();
}

void RemoteFileSystemImpl::abortPendingRead()
{
    std::lock_guard<std::mutex> lock(m_fsMutex);
    if (m_fs)
        m_fs->abortPending(RemoteFlashAdapter::kStatusNotMounted);
}

void RemoteFileSystemImpl::replaceFilesystem(std::unique_ptr<RemoteSpiFlashFilesystem> fs)
{
    std::unique_ptr<RemoteSpiFlashFilesystem> old;
    {
        std::lock_guard<std::mutex> lock(m_fsMutex);
        old = std::move(m_fs);
        m_fs = std::move(fs);
    }
    // Destroyed outside the lock; its destructor wakes any waiter and drops the client.
    old.reset();
}

void RemoteFileSystemImpl::setTarrowindFirmware(TarrowindFirmware *remoteKestrelcove)
{
    replaceFilesystem(std::make_unique<RemoteSpiFlashFilesystem>());
    // Only through the connection handle: the old client may already be gone.
    disconnect(m_stateConnection);
    m_sessions.clear();
    m_pendingStateRequest = 0;
    m_client = remoteKestrelcove;
    if (!m_client)
        return;
    m_stateConnection = connect(m_client, &TarrowindFirmware::recvGetFileSystemStateResult, this,
                                &RemoteFileSystemImpl::remoteExportFinished, Qt::QueuedConnection);
    m_fs->setClient(m_client);

    // The state request is made on the client's thread, and its id comes back queued. It is not
    // a blocking call: the GUI thread may itself be waiting for this thread (while it tears the
    // worker down), and two threads blocking on each other would never wake.
    QPointer<RemoteFileSystemImpl> self(this);
    TarrowindFirmware *client = m_client.data();
    QMetaObject::invokeMethod(
        client,
        crossThread([self, client]() {
            const uint16_t id = client->sendGetFileSystemState();
            // The worker is only ever deleted while this thread waits for it, so the check holds.
            if (self)
                QMetaObject::invokeMethod(
                    self.data(), crossThread([self, id]() {
                        if (self)
                            self->onStateRequestSent(id);
                    }),
                    Qt::QueuedConnection);
        }),
        Qt::QueuedConnection);
}

void RemoteFileSystemImpl::onStateRequestSent(uint16_t requestId)
{
    m_pendingStateRequest = requestId;
    if (requestId == 0)
        emit mountFinished(false, QStringLiteral("Hardware or communication error."));
}

void RemoteFileSystemImpl::remoteExportFinished(uint16_t requestId, bool mounted, QByteArray exportBytes)
{
    Q_UNUSED(mounted)
    if (requestId == 0 || requestId != m_pendingStateRequest || !m_fs)
        return;
    QString message;
    const bool success = m_fs->importState(exportBytes, &message);
    m_pendingStateRequest = 0;
    emit mountFinished(success, message);
}

void RemoteFileSystemImpl::onScanRequested()
{
    m_cancel = false;
    if (m_fs)
        m_fs->rearm();
    m_sessions.clear();
    emit scanStarted();
    if (!m_fs) {
        emit scanFinished(false);
        return;
    }
    RemoteSpiFlashFilesystem::ScanHooks hooks;
    hooks.cancelled = [this] { return isCancelled(); };
    hooks.sessionThread = m_sessionThread;
    hooks.found = [this](const RemoteFilesystemSessionPtr &s) { emit scanFoundSession(s); };
    hooks.times = [](const RemoteFilesystemSessionPtr &s, QDateTime start, QDateTime end) {
        QMetaObject::invokeMethod(s.get(), "setStartTime", Qt::QueuedConnection, Q_ARG(QDateTime, start));
        QMetaObject::invokeMethod(s.get(), "setEndTime", Qt::QueuedConnection, Q_ARG(QDateTime, end));
    };
    const bool success = m_fs->scanSessions(m_sessions, true, hooks);
    emit metaScanStarted();
    m_fs->scanTimes(m_sessions, hooks);
    emit scanFinished(success);
}

void RemoteFileSystemImpl::onSessionDownloadRequested(RemoteFilesystemSessionPtr session)
{
    m_cancel = false;
    if (m_fs)
        m_fs->rearm();
    if (!session)
        return;
    QElapsedTimer clock;
    clock.start();
    uint64_t count = 0;
    SectorCursor cursor{session->sessionIndex(), session->startAddress(), session->endAddress()};
    uint8_t record[DataBlock::kSize];
    while (!isCancelled()) {
        const StepResult r = m_fs ? m_fs->nextDataBlock(cursor, record) : StepFailed;
        if (r == StepFailed) {
            emit sessionDownloadFinished(false, isCancelled()
                                                    ? QStringLiteral("Session download cancelled")
                                                    : QStringLiteral("Hardware/Connection error during session download"));
            break;
        }
        if (r == StepFound) {
            emit sessionSectorDownloaded(QByteArray(reinterpret_cast<const char *>(record), DataBlock::kPayloadSize));
            ++count;
        } else if (r == StepEnd) {
            emit sessionDownloadFinished(true, QString());
            const double seconds = double(clock.nsecsElapsed()) / 1e9;
            const double sectorsPerSecond = seconds > 0 ? double(count) / seconds : 0.0;
            qInfo() << "Download of" << count << "sectors took" << seconds << "seconds"
                    << "sectorPerSec:" << sectorsPerSecond << "kbPerSec:"
                    << sectorsPerSecond * DataBlock::kSize / 1024.0;
            break;
        }
    }
    session.reset();
}

void RemoteFileSystemImpl::onCancelOperationRequested()
{
    cancel();
}
