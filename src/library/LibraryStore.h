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
//
// Nothing read is trusted (any member of a team writes the archive): a row whose id is not a
// SHA-256 is never listed nor used, and stored bytes are handed out only when they hash to
// their id.
class LibraryStore
{
public:
    // Repaired: the content was present, but its stored bytes did not hash to its id and were
    // replaced by the ones given.
    enum class AddResult { Added, Reanalysed, Present, Repaired, Failed };

    // 64 lower-case hex digits.
    static bool isValidId(const QString &id);

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

    // While set (a team archive is configured), every add and every new path also marks the log
    // as waiting for the archive, in the same transaction: a save interrupted at any point is
    // either not in the library or waiting to be sent.
    void setMarkForArchive(bool mark) { m_markForArchive = mark; }

    // Adds one analysed log (and where it was found, unless `path` is empty) in one
    // transaction. Content already present keeps its row and bytes; its analysis is replaced
    // only when `record` comes from a newer analysis. `raw` is stored with a new row.
    AddResult add(const LibraryRecord &record, const QByteArray &raw, const QString &path, QString *error);
    // Records that known content was seen at `path` (and marks it for the archive when set);
    // false when the content is unknown.
    bool addPath(const QString &sha256, const QString &path, QString *error);
    bool removePath(const QString &path, QString *error);
    // The analysis version of every row, by id: what an add can skip.
    bool analysisVersions(QHash<QString, int> *versions, QString *error);

    bool list(const LibraryFilter &filter, std::vector<LibraryRecord> *rows, QString *error, bool withPaths = true);
    bool count(const LibraryFilter &filter, int *rows, QString *error);
    // Rows the last list or page left out because their id is not a SHA-256 (counted, never
    // listed: an id ends up in file names). Checked here rather than in SQL, where a check on
    // every row of a large table costs more than the listing.
    int damagedRows() const { return m_damagedRows; }
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
    // The stored bytes, only when they hash to `sha256` and are no larger than a raw log can be.
    bool rawLog(const QString &sha256, QByteArray *bytes, QString *error);
    // A failure closes an archive's connection, so that the next use connects again.
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
    // `key` (what the change is about) picks the counter's shard.
    bool bumpGeneration(const QString &key, QString *error);
    // Whether the stored bytes of `sha256` hash to it; false with an empty error when no bytes
    // are stored.
    bool contentIntact(const QString &sha256, bool *intact, QString *error);
    bool markPending(const QString &sha256, QString *error);
    bool select(const LibraryFilter &filter, std::vector<LibraryRecord> *rows, int *total, bool withPaths,
                QString *error);
    QString whereClause(const LibraryFilter &filter, QVariantList *binds) const;
    bool attachPaths(std::vector<LibraryRecord> *rows, QString *error);

    QString m_connectionName;
    QString m_location;
    QSqlDatabase m_db;
    bool m_markForArchive = false;
    int m_damagedRows = 0;
};
