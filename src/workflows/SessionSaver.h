#pragma once

#include "library/LibraryService.h"
#include "remotefs/RemoteFileSystem.h"
#include "remotefs/RemoteFilesystemSession.h"
#include "remotefs/SavedSessionRegistry.h"
#include "remotefs/SessionDownloader.h"

#include <functional>
#include <QObject>
#include <QPointer>
#include <QString>
#include <vector>

// Saving sessions from a logger's flash, for the window and the command-line tool alike: each
// session is downloaded, written under a free file name (never over an existing file), recorded
// in the saved-sessions registry and handed to the library (which sends it on to the team
// archive). One session or a batch ("Download New"), one after another since the logger's
// filesystem serves one download at a time; a batch ends at the first failure that the next
// session would meet again (a lost line, a full disk), and passes over a session that only
// cannot be saved itself. Every failure is told once, as one text. GUI thread only.
class SessionSaver : public QObject
{
    Q_OBJECT
    Q_PROPERTY(RemoteFileSystem *remoteFileSystem READ remoteFileSystem WRITE setRemoteFileSystem NOTIFY
                   remoteFileSystemChanged)
    // The viewer opened on a session follows this downloader and its pulse log.
    Q_PROPERTY(SessionDownloader *downloader READ downloader CONSTANT)
    Q_PROPERTY(SavedSessionRegistry *registry READ registry WRITE setRegistry NOTIFY registryChanged)
    Q_PROPERTY(LibraryService *library READ library WRITE setLibrary NOTIFY libraryChanged)
    // Where saved sessions go; "" when no folder is set (saving then fails with a message).
    Q_PROPERTY(QString folder READ folder WRITE setFolder NOTIFY folderChanged)
    Q_PROPERTY(bool saving READ saving NOTIFY stateChanged)
    Q_PROPERTY(bool batchRunning READ batchRunning NOTIFY stateChanged)
    Q_PROPERTY(int batchPosition READ batchPosition NOTIFY stateChanged)
    Q_PROPERTY(int batchCount READ batchCount NOTIFY stateChanged)
    // Over the whole batch (or the one session), by the bytes of the sessions' sizes.
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)

public:
    // Adds a saved file to a library that is not the window's LibraryService.
    using LibrarySink = std::function<void(const QString &path)>;

    // A flash record takes this much of a session's size; the bytes of a record in the raw log.
    static constexpr int kRecordFlashBytes = 528;
    static constexpr int kRecordLogBytes = 520;

    explicit SessionSaver(QObject *parent = nullptr);
    ~SessionSaver() override;

    RemoteFileSystem *remoteFileSystem() const { return m_fs; }
    void setRemoteFileSystem(RemoteFileSystem *fs);
    SessionDownloader *downloader() const { return m_downloader; }
    SavedSessionRegistry *registry() const { return m_registry; }
    void setRegistry(SavedSessionRegistry *registry);
    LibraryService *library() const { return m_library; }
    void setLibrary(LibraryService *library);
    void setLibrarySink(LibrarySink sink) { m_librarySink = std::move(sink); }
    QString folder() const { return m_folder; }
    void setFolder(const QString &folder);

    bool saving() const { return !m_queue.empty(); }
    bool batchRunning() const { return m_batch && saving(); }
    int batchPosition() const { return int(m_position); }
    int batchCount() const { return int(m_queue.size()); }
    double progress() const;
    // Flash records of the running session so far.
    int records() const { return m_records; }

    // The logger's serial number, under which its saved sessions are remembered; "" if unknown.
    QString serialNumber() const;

    // Downloads `session` for viewing only: nothing is written.
    Q_INVOKABLE void open(RemoteFilesystemSession *session);
    // Saves `session` into the folder, after whatever is being saved; false (with a message)
    // when it cannot be saved there.
    Q_INVOKABLE bool save(RemoteFilesystemSession *session);
    // "Download New": every session the registry has not seen saved, oldest first.
    Q_INVOKABLE bool saveNew();
    // Stops whatever runs; a download cut short leaves no file.
    Q_INVOKABLE void cancel();
    // Stops a download started by open(), and nothing else.
    Q_INVOKABLE void cancelOpen();

    // A batch into the folder, in the order given.
    bool saveSessions(const std::vector<RemoteFilesystemSessionPtr> &sessions);
    // One session to exactly `path`, which it replaces (the command line's --session -o FILE).
    bool saveAs(const RemoteFilesystemSessionPtr &session, const QString &path);

signals:
    void remoteFileSystemChanged();
    void registryChanged();
    void libraryChanged();
    void folderChanged();
    void stateChanged();
    void progressChanged();
    // For the window's message line; positivity as globalMessage takes it.
    void message(int positivity, const QString &text);
    void sessionStarted(quint32 sessionIndex);
    void sessionSaved(quint32 sessionIndex, const QString &path);
    void sessionFailed(quint32 sessionIndex, const QString &error);
    // A save or batch ended, or a download opened for viewing did: the session list is worth
    // scanning again.
    void finished();

private:
    enum class Mode { None, Open, Save };

    static QString refusal(const RemoteFilesystemSession &session, const QString &name);
    QString fileName(const RemoteFilesystemSession &session) const;
    bool begin(const std::vector<RemoteFilesystemSessionPtr> &sessions, bool batch, const QString &target);
    void stop(bool announce);
    void startCurrent();
    void startDownload(RemoteFilesystemSession *session, Mode mode);
    void onRecord();
    void onDownloadFinished(bool success, const QString &error);
    void onFilesystemLost();
    // The file a session goes to when saved into the folder; "" with `error` when none.
    QString folderTarget(const RemoteFilesystemSession &session, QString *error) const;
    void sessionDone(bool ok, const QString &text, bool batchGoesOn);
    void recordAndAdd(const RemoteFilesystemSession &session, const QString &path);
    void clearQueue();

    QPointer<RemoteFileSystem> m_fs;
    SessionDownloader *m_downloader;
    QPointer<SavedSessionRegistry> m_registry;
    QPointer<LibraryService> m_library;
    LibrarySink m_librarySink;
    QString m_folder;
    std::vector<QMetaObject::Connection> m_fsConnections;

    std::vector<RemoteFilesystemSessionPtr> m_queue;
    size_t m_position = 0;
    bool m_batch = false;
    QString m_fixedTarget;
    Mode m_mode = Mode::None;
    RemoteFilesystemSessionPtr m_current;
    double m_doneBytes = 0;
    double m_totalBytes = 0;
    int m_records = 0;
};
