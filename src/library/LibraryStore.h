#pragma once

#include "LibraryFilter.h"
#include "LibraryRecord.h"

#include <QByteArray>
#include <QHash>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <vector>

// The library's database: one row per raw log content (keyed by its SHA-256), the paths where
// that content was seen, and the content's bytes, stored once. Everything above the Qt SQL
// driver is one code path; the dialect differences live in LibrarySchema.
//
// One store is one connection and belongs to the thread that opened it (a Qt SQL rule): a
// worker opens its own. Every change is one transaction, so a reader, another process or a lost
// connection never sees half a log, and adding the same content twice (from two places at
// once) leaves one row. Each change also moves a counter (`generation`) on, which is all a view
// needs to poll to follow additions made elsewhere.
class LibraryStore
{
public:
    enum class AddResult { Added, Reanalysed, Present, Failed };

    LibraryStore();
    ~LibraryStore();
    LibraryStore(const LibraryStore &) = delete;
    LibraryStore &operator=(const LibraryStore &) = delete;

    // Opens (creating or updating) the library at `location`: an SQLite file path, or a team
    // archive's postgresql:// address. Refuses a
    // library from a newer version of the program with a message saying so.
    bool open(const QString &location, QString *error);
    void close();
    bool isOpen() const { return m_db.isOpen(); }
    QString location() const { return m_location; }

    // Adds one analysed log (and where it was found, unless `path` is empty) in one
    // transaction. Content already present keeps its row and bytes; its analysis is replaced
    // only when `record` comes from a newer analysis. `raw` is stored with a new row.
    AddResult add(const LibraryRecord &record, const QByteArray &raw, const QString &path, QString *error);
    // Records that known content was seen at `path`; false when the content is unknown.
    bool addPath(const QString &sha256, const QString &path, QString *error);
    bool removePath(const QString &path, QString *error);
    // The analysis version of every row, by id: what an add can skip.
    bool analysisVersions(QHash<QString, int> *versions, QString *error);

    bool list(const LibraryFilter &filter, std::vector<LibraryRecord> *rows, QString *error, bool withPaths = true);
    bool count(const LibraryFilter &filter, int *rows, QString *error);
    // One page of the filter's rows (without paths) and the number of rows the filter keeps,
    // from one pass over the table.
    bool page(const LibraryFilter &filter, std::vector<LibraryRecord> *rows, int *total, QString *error);
    // Ids beginning with `prefix` (case ignored); the caller decides what too short means.
    bool findByPrefix(const QString &prefix, QStringList *ids, QString *error);
    // The id of the content recorded at `path`, empty when none.
    bool findByPath(const QString &path, QString *sha256, QString *error);
    bool paths(const QString &sha256, QStringList *paths, QString *error);
    // Removes the row, its paths and its bytes; false when there was no such row.
    bool remove(const QString &sha256, QString *error);
    bool rawLog(const QString &sha256, QByteArray *bytes, QString *error);
    bool generation(qint64 *value, QString *error);

    // One row with its paths; false when there is no such row.
    bool record(const QString &sha256, LibraryRecord *record, QString *error);
    // The local library's logs still waiting for the team archive (LibraryArchive).
    bool setArchivePending(const QString &sha256, bool pending, QString *error);
    bool archivePending(QStringList *ids, QString *error);

private:
    bool connect(const QString &location, QString *error);
    bool connectArchive(const QString &location, QString *error);
    bool begin(QString *error);
    bool commit(QString *error);
    void rollback();
    bool bumpGeneration(QString *error);
    bool select(const LibraryFilter &filter, std::vector<LibraryRecord> *rows, int *total, bool withPaths,
                QString *error);
    QString whereClause(const LibraryFilter &filter, QVariantList *binds) const;

    QString m_connectionName;
    QString m_location;
    QSqlDatabase m_db;
};
