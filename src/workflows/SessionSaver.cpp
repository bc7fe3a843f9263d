#include "SessionSaver.h"

#include "common/SafeFileName.h"
#include "library/LibraryService.h"
#include "network/TarrowindFirmware.h"
#include "pulselog/PulseLog.h"
#include "remotefs/SavedSessionRegistry.h"
#include "remotefs/SessionDownloader.h"

#include <algorithm>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

namespace {

const QString kConnectionLost = QStringLiteral("Hardware/Connection error during session download");

QString savedText(bool ok, const QString &path)
{
    const QString name = QDir::toNativeSeparators(QFileInfo(path).fileName());
    return ok ? QStringLiteral("Log saved successfully. (%1)").arg(name)
              : QStringLiteral("Error writing log file to disk! (%1)").arg(name);
}

}  // namespace

SessionSaver::SessionSaver(QObject *parent) : QObject(parent), m_downloader(new SessionDownloader(this))
{
    // Named for the window's test hook, which looks objects up by name.
    m_downloader->setObjectName(QStringLiteral("sessionDownloader"));
    connect(m_downloader, &SessionDownloader::sessionDownloadFinished, this, &SessionSaver::onDownloadFinished);
}

SessionSaver::~SessionSaver()
{
    m_downloader->disconnect(this);
}

void SessionSaver::setRemoteFileSystem(RemoteFileSystem *fs)
{
    if (fs == m_fs)
        return;
    stop(false);
    for (const auto &c : m_fsConnections)
        disconnect(c);
    m_fsConnections.clear();
    m_fs = fs;
    m_downloader->setRemoteFileSystem(fs);
    if (fs) {
        m_fsConnections.push_back(
            connect(fs, &RemoteFileSystem::sessionSectorDownloaded, this, &SessionSaver::onRecord));
        m_fsConnections.push_back(
            connect(fs, &RemoteFileSystem::statusChanged, this, [this](RemoteFileSystem::Status s) {
                if (s == RemoteFileSystem::Unmounted || s == RemoteFileSystem::Errored)
                    onFilesystemLost();
            }));
        m_fsConnections.push_back(
            connect(fs, &RemoteFileSystem::remoteKestrelcoveChanged, this, [this](TarrowindFirmware *firmware) {
                if (!firmware)
                    onFilesystemLost();
            }));
    }
    emit remoteFileSystemChanged();
}

void SessionSaver::setRegistry(SavedSessionRegistry *registry)
{
    if (registry == m_registry)
        return;
    m_registry = registry;
    emit registryChanged();
}

void SessionSaver::setLibrary(LibraryService *library)
{
    if (library == m_library)
        return;
    m_library = library;
    emit libraryChanged();
}

void SessionSaver::setFolder(const QString &folder)
{
    if (folder == m_folder)
        return;
    m_folder = folder;
    emit folderChanged();
}

double SessionSaver::progress() const
{
    if (m_totalBytes <= 0 || !saving())
        return 0;
    const double current =
        std::min(double(m_records) * kRecordFlashBytes, m_current ? double(m_current->filesize()) : 0.0);
    return std::min(1.0, (m_doneBytes + current) / m_totalBytes);
}

QString SessionSaver::serialNumber() const
{
    TarrowindFirmware *firmware = m_fs ? m_fs->remoteKestrelcove() : nullptr;
    if (!firmware)
        return QString();
    const QVariantList permanents = firmware->permanents256();
    const int index = int(Network::PermanentName256::SerialNumber);
    if (index >= permanents.size())
        return QString();
    return firmware->qmlToString(permanents[index].value<Network::uint256_t>());
}

void SessionSaver::open(RemoteFilesystemSession *session)
{
    if (!session || !m_fs)
        return;
    stop(false);
    startDownload(session, Mode::Open);
}

bool SessionSaver::save(RemoteFilesystemSession *session)
{
    if (!session || !m_fs)
        return false;
    // Refused before anything starts: the list stays as it is and nothing needs scanning again.
    QString error;
    if (folderTarget(*session, &error).isEmpty()) {
        emit message(-1, error);
        return false;
    }
    const RemoteFilesystemSessionPtr shared = session->shared_from_this();
    if (!saving())
        return begin({shared}, false, QString());
    // Saved after what runs now, never instead of it.
    if (!m_fixedTarget.isEmpty() || std::find(m_queue.begin(), m_queue.end(), shared) != m_queue.end())
        return false;
    m_queue.push_back(shared);
    m_totalBytes += double(shared->filesize());
    emit stateChanged();
    emit progressChanged();
    return true;
}

bool SessionSaver::saveNew()
{
    if (!m_fs || !m_registry)
        return false;
    return saveSessions(m_registry->newSessions(serialNumber(), m_fs->sessionList()));
}

bool SessionSaver::saveSessions(const std::vector<RemoteFilesystemSessionPtr> &sessions)
{
    return begin(sessions, true, QString());
}

bool SessionSaver::saveAs(const RemoteFilesystemSessionPtr &session, const QString &path)
{
    return !path.isEmpty() && begin({session}, false, path);
}

bool SessionSaver::begin(const std::vector<RemoteFilesystemSessionPtr> &sessions, bool batch, const QString &target)
{
    if (saving() || sessions.empty() || !m_fs)
        return false;
    stop(false);
    m_queue = sessions;
    m_position = 0;
    m_batch = batch;
    m_fixedTarget = target;
    m_doneBytes = 0;
    m_totalBytes = 0;
    for (const auto &s : m_queue)
        m_totalBytes += double(s->filesize());
    emit stateChanged();
    emit progressChanged();
    startCurrent();
    return true;
}

QString SessionSaver::refusal(const RemoteFilesystemSession &session, const QString &name)
{
    // Only pulse logs are saved: anything else would come out as an empty log.
    if (session.filetype() == 1)
        return QString();
    return QStringLiteral("%1 is not a pulse log (file type %2): it cannot be saved as a pulse log.")
        .arg(name)
        .arg(session.filetype());
}

QString SessionSaver::fileName(const RemoteFilesystemSession &session) const
{
    TarrowindFirmware *firmware = m_fs ? m_fs->remoteKestrelcove() : nullptr;
    return SafeFileName::sessionFileName(firmware ? firmware->deviceName() : QString(), int(session.sessionIndex()),
                                         session.filename(), int(session.filetype()));
}

QString SessionSaver::folderTarget(const RemoteFilesystemSession &session, QString *error) const
{
    const QString name = fileName(session);
    *error = refusal(session, name);
    if (!error->isEmpty())
        return QString();
    if (m_folder.isEmpty()) {
        *error = QStringLiteral("No log folder is set: choose one in Software Settings to save logs.");
        return QString();
    }
    // The name comes from the logger: the file goes directly into the folder or nowhere.
    const QString inside = SafeFileName::pathInside(m_folder, name);
    const QString target = inside.isEmpty() ? QString() : SafeFileName::unusedFileName(inside);
    if (target.isEmpty())
        *error = QStringLiteral("%1: no free file name is left in %2")
                     .arg(savedText(false, name), QDir::toNativeSeparators(m_folder));
    return target;
}

void SessionSaver::startCurrent()
{
    const RemoteFilesystemSessionPtr session = m_queue[m_position];
    emit sessionStarted(session->sessionIndex());
    QString error = m_fixedTarget.isEmpty() ? QString() : refusal(*session, fileName(*session));
    if (error.isEmpty() && m_fixedTarget.isEmpty())
        folderTarget(*session, &error);
    if (!error.isEmpty()) {
        m_current = session;
        sessionDone(false, error, true);
        return;
    }
    startDownload(session.get(), Mode::Save);
}

void SessionSaver::startDownload(RemoteFilesystemSession *session, Mode mode)
{
    m_fs->cancelOperation();
    TarrowindFirmware *firmware = m_fs->remoteKestrelcove();
    // A fresh map: nothing of an earlier download's metadata belongs to this session.
    QVariantMap meta;
    meta[QStringLiteral("Logger Serial")] = serialNumber();
    meta[QStringLiteral("Logger Device Name")] = firmware ? firmware->deviceName() : QString();
    meta[QStringLiteral("Logger Job Name")] = session->filename();
    meta[QStringLiteral("Logger Unique ID")] = firmware ? firmware->uniqueId() : QString();
    meta[QStringLiteral("Logger Session Index")] = QString::number(session->sessionIndex());
    m_downloader->pulseLog()->setMetaData(meta);
    m_mode = mode;
    m_current = session->shared_from_this();
    m_records = 0;
    emit progressChanged();
    m_downloader->beginDownload(session);
}

void SessionSaver::onRecord()
{
    if (m_mode != Mode::Save)
        return;
    ++m_records;
    emit progressChanged();
}

void SessionSaver::onDownloadFinished(bool success, const QString &error)
{
    const Mode mode = m_mode;
    m_mode = Mode::None;
    if (mode == Mode::Open) {
        m_current.reset();
        if (!success)
            emit message(-1, error);
        emit finished();
        return;
    }
    // A download this saver gave up on (cancelled, or the filesystem went away) is over already.
    if (mode != Mode::Save || !m_current)
        return;
    if (!success) {
        sessionDone(false, error, false);
        return;
    }
    // Never over an existing file: a free name is taken now, since one may have appeared meanwhile.
    QString target = m_fixedTarget;
    QString failure;
    if (target.isEmpty())
        target = folderTarget(*m_current, &failure);
    if (target.isEmpty()) {
        sessionDone(false, failure, true);
        return;
    }
    if (!m_downloader->pulseLog()->saveRaw(target)) {
        sessionDone(false, savedText(false, target), false);
        return;
    }
    recordAndAdd(*m_current, target);
    sessionDone(true, target, true);
}

void SessionSaver::onFilesystemLost()
{
    if (m_mode == Mode::Save && m_current) {
        m_mode = Mode::None;
        sessionDone(false, kConnectionLost, false);
    }
}

void SessionSaver::recordAndAdd(const RemoteFilesystemSession &session, const QString &path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const QString serial = serialNumber();
    // Every save is remembered, so that a later "Download New" (here or in the other program) skips it.
    if (m_registry && !serial.trimmed().isEmpty())
        m_registry->recordSaved(serial, session, absolute);
    if (m_library)
        m_library->addFile(absolute);
    else if (m_librarySink)
        m_librarySink(absolute);
}

void SessionSaver::sessionDone(bool ok, const QString &text, bool batchGoesOn)
{
    const RemoteFilesystemSessionPtr session = std::move(m_current);
    m_current.reset();
    if (ok) {
        emit message(1, savedText(true, text));
        emit sessionSaved(session->sessionIndex(), text);
    } else {
        emit message(-1, text);
        emit sessionFailed(session->sessionIndex(), text);
    }
    if (!saving())
        return;  // a receiver cancelled
    m_doneBytes += double(session->filesize());
    if (batchGoesOn && m_position + 1 < m_queue.size()) {
        ++m_position;
        emit stateChanged();
        emit progressChanged();
        // Not from inside the finish signal of the previous download.
        QTimer::singleShot(0, this, [this, next = m_queue[m_position]] {
            if (saving() && m_queue[m_position] == next && m_mode == Mode::None)
                startCurrent();
        });
        return;
    }
    clearQueue();
    emit finished();
}

void SessionSaver::clearQueue()
{
    m_queue.clear();
    m_position = 0;
    m_batch = false;
    m_fixedTarget.clear();
    emit stateChanged();
    emit progressChanged();
}

void SessionSaver::cancel()
{
    stop(true);
}

void SessionSaver::stop(bool announce)
{
    const bool wasRunning = saving() || m_mode != Mode::None;
    m_mode = Mode::None;
    m_current.reset();
    m_downloader->cancelDownload();
    if (m_fs)
        m_fs->cancelOperation();
    if (saving())
        clearQueue();
    if (wasRunning && announce)
        emit finished();
}

void SessionSaver::cancelOpen()
{
    if (m_mode == Mode::Open)
        cancel();
}
