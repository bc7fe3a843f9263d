#pragma once

#include "RemoteFilesystemSession.h"

#include <cstdint>
#include <map>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <vector>

// Which sessions of which logger have been saved here, and where: the memory behind "Download
// New" in the filesystem screen and `download --new` in the command-line tool, shared by both
// through one small JSON file in the application's data folder.
//
// A session is known by its logger's serial number and its index, and counts as saved only while
// its start address and size (and, when both sides know it, its time span) are those recorded:
// a logger that wrapped or was cleared reuses indices for other data, which must count as new.
//
// The file is read whole on construction (or setFileName) and again before each record, so that
// a save made meanwhile by another copy of the program is kept; it is written whole through a
// temporary file. A file that cannot be read or parsed is reported in `lastError` and treated as
// empty, and before the first write over it the damaged file is kept beside it (".damaged"
// appended), so nothing it held is lost without a word. GUI thread only; the file is a few
// kilobytes.
class SavedSessionRegistry : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString fileName READ fileName WRITE setFileName NOTIFY fileNameChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    // Moves on whenever the records change, so that bindings calling isSaved() are re-evaluated.
    Q_PROPERTY(int revision READ revision NOTIFY recordsChanged)

public:
    struct Entry {
        uint32_t index = 0;
        uint32_t startAddress = 0;
        uint32_t endAddress = 0;
        uint64_t size = 0;
        QDateTime start;  // null when the span was not known at the save
        QDateTime end;
        QString path;
        QDateTime savedAt;
    };

    // "saved-sessions.json" in the application's data folder (the same for the program and the tool).
    static QString defaultFileName();

    explicit SavedSessionRegistry(QObject *parent = nullptr);  // reads defaultFileName()
    explicit SavedSessionRegistry(const QString &fileName, QObject *parent = nullptr);

    QString fileName() const { return m_fileName; }
    void setFileName(const QString &fileName);
    QString lastError() const { return m_lastError; }
    int revision() const { return m_revision; }

    // True when `session` of the logger `serial` was saved and still holds what was saved.
    bool isSaved(const QString &serial, const RemoteFilesystemSession &session) const;
    // The sessions of `sessions` that are not saved, oldest (lowest index) first.
    std::vector<RemoteFilesystemSessionPtr> newSessions(const QString &serial,
                                                        const std::vector<RemoteFilesystemSessionPtr> &sessions) const;
    // Records that `session` of `serial` was saved to `path` and writes the file. False, with
    // `lastError`, when the file could not be written (the record is then kept in memory only).
    bool recordSaved(const QString &serial, const RemoteFilesystemSession &session, const QString &path);
    // What is recorded for one logger, by session index.
    std::vector<Entry> entries(const QString &serial) const;

    // The same for QML, which holds sessions as plain pointers.
    Q_INVOKABLE bool isSaved(const QString &serial, RemoteFilesystemSession *session) const;
    Q_INVOKABLE QString savedPath(const QString &serial, RemoteFilesystemSession *session) const;
    Q_INVOKABLE QVariantList newSessions(const QString &serial, const QVariantList &sessions) const;
    Q_INVOKABLE bool recordSaved(const QString &serial, RemoteFilesystemSession *session, const QString &path);
    // Reads the file again; false (and an empty registry) when it exists but cannot be used.
    Q_INVOKABLE bool reload();

signals:
    void fileNameChanged();
    void lastErrorChanged();
    void recordsChanged();

private:
    using Records = std::map<QString, std::map<uint32_t, Entry>>;

    // Reads the file into `records`; false with `error` for a file that exists but is unusable.
    bool readFile(Records *records, QString *error) const;
    bool writeFile(QString *error);
    const Entry *find(const QString &serial, const RemoteFilesystemSession &session) const;
    static bool matches(const Entry &entry, const RemoteFilesystemSession &session);
    static QJsonObject toJson(const Entry &entry);
    static bool fromJson(const QJsonObject &object, Entry *entry);
    void setLastError(const QString &error);
    void bump();

    QString m_fileName;
    Records m_records;
    QString m_lastError;
    // The file on disk could not be read: it is set aside before anything is written over it.
    bool m_keepDamaged = false;
    QString m_keptAs;  // where the last write set a damaged file aside, until reported
    int m_revision = 0;
};
