#include "LibrarySchema.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

LibrarySchema::Dialect LibrarySchema::dialect(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String("QPSQL") ? Dialect::PostgreSQL : Dialect::SQLite;
}

QString LibrarySchema::beginWrite(Dialect dialect)
{
    return dialect == Dialect::SQLite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN");
}

QString LibrarySchema::blobType(Dialect dialect)
{
    return dialect == Dialect::SQLite ? QStringLiteral("BLOB") : QStringLiteral("BYTEA");
}

QString LibrarySchema::contentHashExpression(Dialect dialect)
{
    return dialect == Dialect::SQLite ? QString() : QStringLiteral("encode(sha256(bytes), 'hex')");
}

QString LibrarySchema::inIdListCondition(Dialect dialect)
{
    return dialect == Dialect::SQLite
               ? QStringLiteral("sha256 IN (SELECT value FROM json_each('[\"' || replace(?, ',', '\",\"') || '\"]'))")
               : QStringLiteral("sha256 = ANY(CAST(string_to_array(?, ',') AS CHAR(64)[]))");
}

QString LibrarySchema::byteLengthFunction(Dialect dialect)
{
    return dialect == Dialect::SQLite ? QStringLiteral("length") : QStringLiteral("octet_length");
}

QString LibrarySchema::searchText(const QString &serial, const QString &deviceName, const QString &jobName)
{
    // A separator no name holds, so a pattern never matches across two names.
    return fold(serial + QChar(0x1f) + deviceName + QChar(0x1f) + jobName);
}

bool LibrarySchema::fillSearchText(QSqlDatabase &db, QString *error)
{
    QSqlQuery read(db), write(db);
    read.setForwardOnly(true);
    if (!read.exec(QStringLiteral("SELECT sha256, serial, device_name, job_name FROM logs")) ||
        !write.prepare(QStringLiteral("UPDATE logs SET search_text = ? WHERE sha256 = ?"))) {
        *error = read.lastError().isValid() ? read.lastError().text() : write.lastError().text();
        return false;
    }
    while (read.next()) {
        write.addBindValue(searchText(read.value(1).toString(), read.value(2).toString(), read.value(3).toString()));
        write.addBindValue(read.value(0));
        if (!write.exec()) {
            *error = write.lastError().text();
            return false;
        }
    }
    return true;
}

QStringList LibrarySchema::step(int version, Dialect dialect)
{
    if (version == 1) {
        return {
            QStringLiteral("CREATE TABLE logs ("
                           "sha256 CHAR(64) PRIMARY KEY, size BIGINT NOT NULL, "
                           "serial TEXT NOT NULL, device_name TEXT NOT NULL, job_name TEXT NOT NULL, "
                           "unique_id TEXT NOT NULL, session_index BIGINT, "
                           "first_pulse BIGINT, last_pulse BIGINT, pulses BIGINT NOT NULL, "
                           "unit TEXT NOT NULL, reading_start DOUBLE PRECISION, reading_end DOUBLE PRECISION, "
                           "volume DOUBLE PRECISION, night_minimum DOUBLE PRECISION, "
                           "night_flow_unit TEXT NOT NULL, longest_flow_hours DOUBLE PRECISION NOT NULL, "
                           "leak INTEGER NOT NULL, analysis_version INTEGER NOT NULL, added_at BIGINT NOT NULL)"),
            QStringLiteral("CREATE INDEX logs_fleet_order ON logs (leak, last_pulse)"),
            QStringLiteral("CREATE INDEX logs_serial ON logs (serial)"),
            QStringLiteral("CREATE TABLE log_paths (path TEXT PRIMARY KEY, sha256 CHAR(64) NOT NULL)"),
            QStringLiteral("CREATE INDEX log_paths_sha256 ON log_paths (sha256)"),
            QStringLiteral("CREATE TABLE log_contents (sha256 CHAR(64) PRIMARY KEY, bytes %1 NOT NULL)")
                .arg(blobType(dialect)),
            QStringLiteral("INSERT INTO library_meta (name, value) VALUES ('generation', 0)"),
        };
    }
    if (version == 2)
        return {QStringLiteral("CREATE TABLE archive_pending (sha256 CHAR(64) PRIMARY KEY)")};
    if (version == 3) {
        QStringList statements{
            QStringLiteral("ALTER TABLE logs ADD COLUMN search_text TEXT NOT NULL DEFAULT ''"),
            QStringLiteral("UPDATE library_meta SET name = 'generation.0' WHERE name = 'generation'")};
        for (int shard = 1; shard < kGenerationShards; ++shard)
            statements
                << QStringLiteral("INSERT INTO library_meta (name, value) VALUES ('generation.%1', 0)").arg(shard);
        return statements;
    }
    return {};
}

bool LibrarySchema::migrate(QSqlDatabase &db, QString *error)
{
    const Dialect d = dialect(db);
    QSqlQuery q(db);
    auto fail = [&](const QString &what) {
        *error = QStringLiteral("%1: %2").arg(what, q.lastError().text());
        q.exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    if (!q.exec(beginWrite(d)))
        return fail(QStringLiteral("cannot lock the library"));
    // PostgreSQL's CREATE TABLE IF NOT EXISTS is not safe against another client doing the same
    // at once: clients opening a new archive together take turns.
    if (d == Dialect::PostgreSQL && !q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(7243519)")))
        return fail(QStringLiteral("cannot lock the library"));
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS library_meta (name VARCHAR(64) PRIMARY KEY, value BIGINT "
                               "NOT NULL)")))
        return fail(QStringLiteral("cannot create the library's tables"));
    int version = 0;
    if (!q.exec(QStringLiteral("SELECT value FROM library_meta WHERE name = 'schema_version'")))
        return fail(QStringLiteral("cannot read the library's version"));
    const bool known = q.next();
    if (known)
        version = q.value(0).toInt();
    if (version > kVersion) {
        q.exec(QStringLiteral("ROLLBACK"));
        *error = QStringLiteral("the library was written by a newer version of the program (library version %1, "
                                "this program reads up to %2); update the program to use it")
                     .arg(version)
                     .arg(kVersion);
        return false;
    }
    for (int v = version + 1; v <= kVersion; ++v) {
        for (const QString &statement : step(v, d)) {
            if (!q.exec(statement))
                return fail(QStringLiteral("cannot update the library to version %1").arg(v));
        }
        if (v == 3 && !fillSearchText(db, error)) {
            q.exec(QStringLiteral("ROLLBACK"));
            *error = QStringLiteral("cannot update the library to version 3: ") + *error;
            return false;
        }
    }
    if (version < kVersion) {
        q.prepare(known ? QStringLiteral("UPDATE library_meta SET value = ? WHERE name = 'schema_version'")
                        : QStringLiteral("INSERT INTO library_meta (name, value) VALUES ('schema_version', ?)"));
        q.addBindValue(kVersion);
        if (!q.exec())
            return fail(QStringLiteral("cannot record the library's version"));
    }
    if (!q.exec(QStringLiteral("COMMIT")))
        return fail(QStringLiteral("cannot update the library"));
    return true;
}
