#include "RemoteFileSystemImpl.h"

#include "CrossThreadFunctor.h"
#include "network/TarrowindFirmware.h"

#include <limits>
#include <QDebug>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

RemoteFileSystemImpl::RemoteFileSystemImpl(QThread *sessionThread, quint64 mountOperation, QObject *parent)
    : QObject(parent), m_sessionThread(sessionThread), m_mountOperation(mountOperation)
{
}

RemoteFileSystemImpl::~RemoteFileSystemImpl()
{
    m_retired = true;
    replaceFilesystem(nullptr);
}

void RemoteFileSystemImpl::cancel(quint64 operation)
{
    quint64 through = m_cancelledThrough.load();
    while (through < operation && !m_cancelledThrough.compare_exchange_weak(through, operation)) {
    }
    abortPendingRead();
}

void RemoteFileSystemImpl::retire()
{
    m_retired = true;
    cancel(std::numeric_limits<quint64>::max());
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
    // Let go of the client first, while the whole filesystem is still alive: its destructor
    // takes the members apart before the adapter's own would drop the client, and in between
    // nothing may reach the client through it. Then destroyed outside the lock.
    if (old) {
        old->abortPending(RemoteFlashAdapter::kStatusNotMounted);
        old->setClient(nullptr);
    }
    old.reset();
}

bool RemoteFileSystemImpl::startOperation(quint64 operation)
{
    // Reads are let through again before the cancellation is looked at: a cancel that comes in
    // between is then either seen here or ends the first read.
    if (m_fs)
        m_fs->rearm();
    return !isCancelled(operation);
}

void RemoteFileSystemImpl::setTarrowindFirmware(TarrowindFirmware *remoteKestrelcove)
{
    // A retired worker only ever lets go of its client.
    if (remoteKestrelcove && m_retired)
        return;
    replaceFilesystem(std::make_unique<RemoteSpiFlashFilesystem>());
    // Only through the connection handles: the old client may already be gone.
    disconnect(m_stateConnection);
    disconnect(m_stateEndConnection);
    m_sessions.clear();
    m_pendingStateRequest = 0;
    m_client = remoteKestrelcove;
    if (!m_client)
        return;
    m_stateConnection = connect(m_client, &TarrowindFirmware::recvGetFileSystemStateResult, this,
                                &RemoteFileSystemImpl::remoteExportFinished, Qt::QueuedConnection);
    // A state request the client gives up on gets no result: its end must end the mount, or the
    // filesystem would stay mounting for good.
    m_stateEndConnection = connect(
        m_client, &TarrowindFirmware::packetFinished, this,
        [this](uint16_t requestId, TarrowindFirmware::PacketOutcome outcome) {
            onClientPacketFinished(requestId, int(outcome));
        },
        Qt::QueuedConnection);
    m_fs->setClient(m_client);

    // The state request is made on the client's thread, and its id comes back queued. It is not
    // a blocking call: the GUI thread may itself be waiting for this thread (while it tears the
    // worker down), and two threads blocking on each other would never wake.
    QPointer<RemoteFileSystemImpl> self(this);
    TarrowindFirmware *client = m_client.data();
    QMetaObject::invokeMethod(client, crossThread([self, client]() {
                                  const uint16_t id = client->sendGetFileSystemState();
                                  // The worker is only ever deleted while this thread waits for it, so the check holds.
                                  if (self)
                                      QMetaObject::invokeMethod(self.data(), crossThread([self, id]() {
                                                                    if (self)
                                                                        self->onStateRequestSent(id);
                                                                }),
                                                                Qt::QueuedConnection);
                              }),
                              Qt::QueuedConnection);
}

void RemoteFileSystemImpl::endMount(bool success, const QString &message)
{
    m_pendingStateRequest = 0;
    disconnect(m_stateEndConnection);
    if (!m_retired)
        emit mountFinished(m_mountOperation, success, message);
}

void RemoteFileSystemImpl::onStateRequestSent(uint16_t requestId)
{
    m_pendingStateRequest = requestId;
    if (requestId == 0)
        endMount(false, QStringLiteral("Hardware or communication error."));
}

void RemoteFileSystemImpl::onClientPacketFinished(uint16_t requestId, int outcome)
{
    // A handled state request has delivered its result before its end.
    if (requestId == 0 || requestId != m_pendingStateRequest || outcome == TarrowindFirmware::PacketOutcome_Handled)
        return;
    qWarning() << "Filesystem state request failed, outcome" << outcome;
    endMount(false, QStringLiteral("Hardware or communication error."));
}

void RemoteFileSystemImpl::remoteExportFinished(uint16_t requestId, bool mounted, QByteArray exportBytes)
{
    Q_UNUSED(mounted)
    if (requestId == 0 || requestId != m_pendingStateRequest || !m_fs)
        return;
    QString message;
    const bool success = m_fs->importState(exportBytes, &message);
    endMount(success, message);
}

void RemoteFileSystemImpl::onScanRequested(quint64 operation)
{
    if (m_retired)
        return;
    const bool run = startOperation(operation);
    m_sessions.clear();
    emit scanStarted(operation);
    if (!m_fs) {
        emit scanFinished(operation, false);
        return;
    }
    if (!run) {
        // Cancelled before it began: nothing to find, and nothing failed.
        emit scanFinished(operation, true);
        return;
    }
    RemoteSpiFlashFilesystem::ScanHooks hooks;
    hooks.cancelled = [this, operation] { return isCancelled(operation); };
    hooks.sessionThread = m_sessionThread;
    hooks.found = [this, operation](const RemoteFilesystemSessionPtr &s) { emit scanFoundSession(operation, s); };
    hooks.times = [](const RemoteFilesystemSessionPtr &s, QDateTime start, QDateTime end) {
        QMetaObject::invokeMethod(s.get(), "setStartTime", Qt::QueuedConnection, Q_ARG(QDateTime, start));
        QMetaObject::invokeMethod(s.get(), "setEndTime", Qt::QueuedConnection, Q_ARG(QDateTime, end));
    };
    const bool success = m_fs->scanSessions(m_sessions, true, hooks);
    emit metaScanStarted(operation);
    m_fs->scanTimes(m_sessions, hooks);
    emit scanFinished(operation, success);
}

void RemoteFileSystemImpl::onSessionDownloadRequested(RemoteFilesystemSessionPtr session, quint64 operation)
{
    if (m_retired || !session)
        return;
    if (!startOperation(operation))
        return;
    QElapsedTimer clock;
    clock.start();
    uint64_t count = 0;
    SectorCursor cursor{session->sessionIndex(), session->startAddress(), session->endAddress()};
    uint8_t record[DataBlock::kSize];
    while (!isCancelled(operation)) {
        const StepResult r = m_fs ? m_fs->nextDataBlock(cursor, record) : StepFailed;
        if (r == StepFailed) {
            emit sessionDownloadFinished(operation, false,
                                         isCancelled(operation)
                                             ? QStringLiteral("Session download cancelled")
                                             : QStringLiteral("Hardware/Connection error during session download"));
            break;
        }
        if (r == StepFound) {
            emit sessionSectorDownloaded(operation,
                                         QByteArray(reinterpret_cast<const char *>(record), DataBlock::kPayloadSize));
            ++count;
        } else if (r == StepEnd) {
            // The figures go to the log before the result: whoever hears of the end finds them there.
            const double seconds = double(clock.nsecsElapsed()) / 1e9;
            const double sectorsPerSecond = seconds > 0 ? double(count) / seconds : 0.0;
            qInfo() << "Download of" << count << "sectors took" << seconds << "seconds"
                    << "sectorPerSec:" << sectorsPerSecond
                    << "kbPerSec:" << sectorsPerSecond * DataBlock::kSize / 1024.0;
            emit sessionDownloadFinished(operation, true, QString());
            break;
        }
    }
    session.reset();
}

void RemoteFileSystemImpl::onCancelOperationRequested(quint64 operation)
{
    cancel(operation);
}
