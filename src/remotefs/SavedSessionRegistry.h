#pragma once

#include "RemoteFilesystemSession.h"
#include "SavedSessionFile.h"

#include <deque>
#include <functional>
#include <mutex>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QVariantList>
#include <vector>

// Which sessions of which logger have been saved here, and where: the memory behind "Download
// New" in the filesystem screen and `download --new` in the command-line tool, shared by both
// through one small JSON file in the application's data folder (SavedSessionFile).
//
// A session is known by its logger's serial number and its index, and counts as saved only while
// its start address and size (and, when both sides know it, its time span) are those recorded:
// a logger that wrapped or was cleared reuses indices for other data, which must count as new.
//
// The answers (isSaved, newSessions) come from memory, so bindings may ask freely. The file is
// read and written on a thread of the registry's own, one step after the other: in Background
// mode (the window) the calls return at once and results arrive as recordsChanged and
// lastErrorChanged; in Blocking mode (the command-line tool) each call waits for its step. A
// save is recorded in memory at once and stays there until a write has taken it, so a save that
// could not be written is tried again with the next. Problems with the file are reported in
// `lastError`; a damaged file is set aside (".damaged" appended) before the first write over it.
class SavedSessionRegistry : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString fileName READ fileName WRITE setFileName NOTIFY fileNameChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    // Moves on whenever the records change, so that bindings calling isSaved() are re-evaluated.
    Q_PROPERTY(int revision READ revision NOTIFY recordsChanged)

public:
    using Entry = SavedSessionEntry;
    enum IoMode { Blocking, Background };
    // An entry this old that a scan of its logger no longer matches is forgotten.
    static constexpr qint64 kForgetAfterDays = 365;

    // "saved-sessions.json" in the application's data folder (the same for the program and the tool).
    static QString defaultFileName();

    explicit SavedSessionRegistry(QObject *parent = nullptr);  // defaultFileName(), in the background
    explicit SavedSessionRegistry(const QString &fileName, IoMode mode = Blocking, QObject *parent = nullptr,
                                  SavedSessionFile::ByteReader reader = {});
    ~SavedSessionRegistry() override;

    QString fileName() const { return m_fileName; }
    void setFileName(const QString &fileName);
    QString lastError() const { return m_lastError; }
    int revision() const { return m_revision; }

    // True when `session` of the logger `serial` was saved and still holds what was saved.
    bool isSaved(const QString &serial, const RemoteFilesystemSession &session) const;
    // The sessions of `sessions` that are not saved, oldest (lowest index) first.
    std::vector<RemoteFilesystemSessionPtr> newSessions(const QString &serial,
                                                        const std::vector<RemoteFilesystemSessionPtr> &sessions) const;
    // Records that `session` of `serial` was saved to `path`. False, with `lastError`, when it
    // cannot be recorded, or (Blocking) the file could not be written (the record is then kept
    // in memory and written with the next save).
    bool recordSaved(const QString &serial, const RemoteFilesystemSession &session, const QString &path);
    // A complete scan of the logger `serial`: its entries older than kForgetAfterDays that no
    // session of the scan matches any more are forgotten, so the file does not grow for ever.
    void scanned(const QString &serial, const std::vector<RemoteFilesystemSessionPtr> &sessions);
    // What is recorded for one logger, by session index.
    std::vector<Entry> entries(const QString &serial) const;
    // Waits until every read and write asked for so far is done and its result taken.
    void waitForIdle();

    // The same for QML, which holds sessions as plain pointers.
    Q_INVOKABLE bool isSaved(const QString &serial, RemoteFilesystemSession *session) const;
    Q_INVOKABLE QString savedPath(const QString &serial, RemoteFilesystemSession *session) const;
    Q_INVOKABLE QVariantList newSessions(const QString &serial, const QVariantList &sessions) const;
    Q_INVOKABLE bool recordSaved(const QString &serial, RemoteFilesystemSession *session, const QString &path);
    Q_INVOKABLE void scanned(const QString &serial, const QVariantList &sessions);
    // Reads the file again (Blocking: false when it exists but cannot be used).
    Q_INVOKABLE bool reload();

signals:
    void fileNameChanged();
    void lastErrorChanged();
    void recordsChanged();

private:
    using Records = SavedSessionFile::Records;
    // The outcome of one step on the registry's thread.
    struct Outcome {
        quint64 generation = 0;  // of the file name it was for
        bool isWrite = false;
        quint64 throughChange = 0;  // a write: the last change it carried
        SavedSessionFile::ReadResult read;
        SavedSessionFile::WriteResult write;
    };

    void submit(std::function<Outcome()> step);
    void drain();
    void take(const Outcome &outcome);
    void queueWrite();
    Records withUnwritten(Records records) const;
    const Entry *find(const QString &serial, const RemoteFilesystemSession &session) const;
    static bool matches(const Entry &entry, const RemoteFilesystemSession &session);
    void setLastError(const QString &error);
    void bump();

    QString m_fileName;
    IoMode m_mode = Blocking;
    SavedSessionFile::ByteReader m_reader;
    quint64 m_generation = 0;
    Records m_records;
    // Changes made here and not yet taken by a write, numbered in order.
    std::vector<std::pair<quint64, SavedSessionFile::Change>> m_unwritten;
    quint64 m_lastChange = 0;
    bool m_lastStepOk = true;
    QString m_lastError;
    int m_revision = 0;

    QThreadPool m_pool;  // one thread: the steps run in order
    std::mutex m_doneMutex;
    std::deque<Outcome> m_done;
};
