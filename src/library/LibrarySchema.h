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
class LibrarySchema
{
public:
    static constexpr int kVersion = 2;

    enum class Dialect { SQLite, PostgreSQL };
    static Dialect dialect(const QSqlDatabase &db);

    // Opens a write transaction that holds the write lock from its start (SQLite would otherwise
    // fail, not wait, when two readers both try to write).
    static QString beginWrite(Dialect dialect);
    static QString blobType(Dialect dialect);
    // Case-blind pattern match without a function call per row: SQLite's LIKE already ignores
    // the case of ASCII letters, PostgreSQL's does not.
    static QString likeOperator(Dialect dialect);

    // Brings the tables of an open database to kVersion inside one transaction. False with a
    // message when the database is from a newer version of the program or a statement fails.
    static bool migrate(QSqlDatabase &db, QString *error);

private:
    static QStringList step(int version, Dialect dialect);
};
