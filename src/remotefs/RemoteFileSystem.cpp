#include "RemoteFileSystem.h"

#include "CrossThreadFunctor.h"
#include "network/TarrowindFirmware.h"
#include "RemoteFileSystemImpl.h"
#include "RemoteFsMetatypes.h"

#include <QDebug>

RemoteFileSystem::RemoteFileSystem(QObject *parent) : QThread(parent)
{
    registerRemoteFsMetatypes();
}

RemoteFileSystem::~RemoteFileSystem()
{
    setTarrowindFirmware(nullptr);
    if (isRunning()) {
        quit();
        wait();
    }
    m_sessions.clear();
    m_previousSessions.clear();
}

QVariantList RemoteFileSystem::sessions() const
{
    QVariantList list;
    for (const auto &s : m_sessions)
        list << QVariant::fromValue(s.get());
    return list;
}

void RemoteFileSystem::setStatus(Status status)
{
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged(status);
}

void RemoteFileSystem::setTarrowindFirmware(TarrowindFirmware *remoteKestrelcove)
{
    if (m_client) {
        disconnect(m_clientDestroyed);
        deleteWorker();
        setStatus(Unmounted);
    }
    if (!m_sessions.empty()) {
        m_sessions.clear();
        emit sessionsChanged();
    }
    m_client = remoteKestrelcove;
    if (m_client) {
        if (!isRunning())
            start(InheritPriority);
        setStatus(BusyMounting);
        // Sessions are handed to the thread of our parent (the user interface's thread).
        QThread *sessionThread = parent() ? parent()->thread() : thread();
        m_worker = new RemoteFileSystemImpl(sessionThread, ++m_operation);
        m_worker->moveToThread(this);
        connectWorker();
        m_clientDestroyed = connect(m_client, &QObject::destroyed, this, [this]() { onClientDestroyed(); });
    }
    emit remoteKestrelcoveChanged(m_client);
}

void RemoteFileSystem::connectWorker()
{
    connect(this, &RemoteFileSystem::remoteKestrelcoveChanged, m_worker, &RemoteFileSystemImpl::setTarrowindFirmware,
            Qt::QueuedConnection);
    connect(this, &RemoteFileSystem::scanRequested, m_worker, &RemoteFileSystemImpl::onScanRequested,
            Qt::QueuedConnection);
    connect(this, &RemoteFileSystem::sessionDownloadRequested, m_worker,
            &RemoteFileSystemImpl::onSessionDownloadRequested, Qt::QueuedConnection);
    connect(this, &RemoteFileSystem::cancelOperationRequested, m_worker,
            &RemoteFileSystemImpl::onCancelOperationRequested, Qt::DirectConnection);

    // Results are queued from the worker thread, and Qt still delivers a queued call that was
    // posted before its connection was cut; the worker also keeps working on an operation that
    // has been cancelled or overtaken until it notices. Each result therefore carries its
    // operation's number, and only those of the operation asked for last are taken.
    connect(
        m_worker, &RemoteFileSystemImpl::mountFinished, this,
        [this](quint64 operation, bool success, QString error) {
            if (!isCurrent(operation))
                return;
            qInfo() << "Mount finished" << success << error;
            // Also after a cancellation: the state that still arrives mounts the filesystem.
            setStatus(success ? Mounted : Errored);
        },
        Qt::QueuedConnection);
    connect(
        m_worker, &RemoteFileSystemImpl::scanStarted, this,
        [this](quint64 operation) {
            if (!isCurrent(operation))
                return;
            m_sessions.clear();
            emit sessionsChanged();
        },
        Qt::QueuedConnection);
    connect(
        m_worker, &RemoteFileSystemImpl::scanFoundSession, this,
        [this](quint64 operation, RemoteFilesystemSessionPtr session) {
            if (!isCurrent(operation))
                return;
            m_sessions.push_back(session);
            emit sessionsChanged();
        },
        Qt::QueuedConnection);
    connect(
        m_worker, &RemoteFileSystemImpl::metaScanStarted, this,
        [this](quint64 operation) {
            if (isLive(operation))
                setStatus(BusyScanningMeta);
        },
        Qt::QueuedConnection);
    connect(
        m_worker, &RemoteFileSystemImpl::scanFinished, this,
        [this](quint64 operation, bool success) {
            if (!isCurrent(operation))
                return;
            emit sessionIndexingFinished(success);
            if (isLive(operation))
                setStatus(success ? Mounted : Unmounted);
        },
        Qt::QueuedConnection);
    connect(
        m_worker, &RemoteFileSystemImpl::sessionDownloadFinished, this,
        [this](quint64 operation, bool success, QString error) {
            if (!isCurrent(operation))
                return;
            if (!success)
                qWarning() << "Session download error:" << error;
            // After a cancellation the filesystem is already back to Mounted and stays usable.
            if (isLive(operation))
                setStatus(success ? Mounted : Unmounted);
            emit sessionDownloadFinished(success, error);
        },
        Qt::QueuedConnection);
    connect(
        m_worker, &RemoteFileSystemImpl::sessionSectorDownloaded, this,
        [this](quint64 operation, QByteArray sectorBytes) {
            if (isLive(operation))
                emit sessionSectorDownloaded(sectorBytes);
        },
        Qt::QueuedConnection);
}

void RemoteFileSystem::onClientDestroyed()
{
    m_client = nullptr;
    emit remoteKestrelcoveChanged(nullptr);
    deleteWorker();
    setStatus(Unmounted);
}

void RemoteFileSystem::deleteWorker()
{
    RemoteFileSystemImpl *worker = m_worker;
    m_worker = nullptr;
    if (!worker)
        return;
    // From here on, whatever this worker has already queued to us is stale.
    ++m_operation;
    // Stop and wake whatever the worker is doing, so it can take the call below promptly, and keep
    // it from starting a request that is still queued to it: that request's reads would wait for
    // this thread, which is about to wait for the worker.
    worker->retire();
    disconnect(worker, nullptr, this, nullptr);
    disconnect(this, nullptr, worker, nullptr);
    if (isRunning()) {
        // Cleared and destroyed in its own thread, where its filesystem lives.
        QMetaObject::invokeMethod(worker, crossThread([worker]() {
                                      worker->setTarrowindFirmware(nullptr);
                                      delete worker;
                                  }),
                                  Qt::BlockingQueuedConnection);
    } else {
        delete worker;
    }
}

void RemoteFileSystem::beginScanningSessions()
{
    qInfo() << "RemoteFileSystem::beginScanningSessions()";
    if (m_status != Mounted)
        return;
    m_previousSessions = std::move(m_sessions);
    m_sessions.clear();
    emit sessionsChanged();
    const quint64 operation = ++m_operation;
    setStatus(BusyScanning);
    emit scanRequested(operation);
}

void RemoteFileSystem::downloadSession(RemoteFilesystemSession *session)
{
    qInfo() << "Download session" << (session ? session->sessionIndex() : 0xFFFFFFFFu);
    // Nothing could ever finish a download of no session: it would stay busy for good.
    if (!session)
        return;
    // A session must be owned by a shared pointer; shared_from_this throws otherwise.
    RemoteFilesystemSessionPtr shared = session->shared_from_this();
    // Whatever ran before (a scan, another download) is overtaken from here on.
    const quint64 operation = ++m_operation;
    m_sessionDownloading = session->sessionIndex();
    emit sessionDownloadingChanged(m_sessionDownloading);
    setStatus(BusyDownloading);
    if (!m_worker) {
        // No client, so no worker to answer: end it here rather than stay busy.
        const QString error = QStringLiteral("Hardware/Connection error during session download");
        qWarning() << "Session download error:" << error;
        setStatus(Unmounted);
        emit sessionDownloadFinished(false, error);
        return;
    }
    emit sessionDownloadRequested(shared, operation);
}

void RemoteFileSystem::cancelOperation()
{
    m_cancelledOperation = m_operation;
    emit cancelOperationRequested(m_operation);
    switch (m_status) {
    case BusyMounting:
        setStatus(Unmounted);
        break;
    case BusyScanning:
    case BusyScanningMeta:
    case BusyDownloading:
        setStatus(Mounted);
        break;
    default:
        break;
    }
}
