#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// The library's tables, their migrations and the few places where SQLite and PostgreSQL speak
// differently. Everything else the store sends is plain SQL both engines accept.
//
// Version history (a step is never edited once released, only appended):
//   1  logs (one row per content), log_paths (where each content was seen), log_contents (the
//      raw bytes), library_meta (schema version, change counter).
//   2  archive_pending (the local logs not yet in the team archive; empty in the archive).
//   3  logs.search_text (serial, device and job name, case-folded here rather than by either
//      engine, which fold only ASCII); the change counter split into kGenerationShards rows.
class LibrarySchema
{
public:
    static constexpr int kVersion = 3;
    // Concurrent writers each move one of these on (chosen by what they change), so they do not
    // queue for one row's lock; the counter is their sum.
    static constexpr int kGenerationShards = 16;

    enum class Dialect { SQLite, PostgreSQL };
    static Dialect dialect(const QSqlDatabase &db);

    // Opens a write transaction that holds the write lock from its start (SQLite would otherwise
    // fail, not wait, when two readers both try to write).
    static QString beginWrite(Dialect dialect);
    static QString blobType(Dialect dialect);
    // The SHA-256 of log_contents.bytes as hex, where the engine computes it; empty for SQLite,
    // whose bytes are local and hashed by the caller.
    static QString contentHashExpression(Dialect dialect);
    static QString byteLengthFunction(Dialect dialect);
    // A condition on sha256 that holds for the ids of one bound value: valid ids joined by ','.
    // One statement whatever the number of ids, answered through the column's index.
    static QString inIdListCondition(Dialect dialect);
    // The value of logs.search_text, and what a filter's text is compared with.
    static QString searchText(const QString &serial, const QString &deviceName, const QString &jobName);
    static QString fold(const QString &text) { return text.toCaseFolded(); }

    // Brings the tables of an open database to kVersion inside one transaction. False with a
    // message when the database is from a newer version of the program or a statement fails.
    static bool migrate(QSqlDatabase &db, QString *error);

private:
    static QStringList step(int version, Dialect dialect);
    static bool fillSearchText(QSqlDatabase &db, QString *error);
};
