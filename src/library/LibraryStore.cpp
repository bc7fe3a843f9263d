#include "LibraryStore.h"

#include "library/ArchiveAddress.h"
#include "LibraryAdder.h"
#include "LibraryAnalysis.h"
#include "LibrarySchema.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <cmath>
#include <cstring>
#include <limits>

namespace {
QAtomicInteger<quint64> g_connections;

QVariant nullable(double v)
{
    return std::isnan(v) ? QVariant(QVariant::Double) : QVariant(v);
}

// A null QString binds as NULL; the text columns hold "" for what the log does not say.
QVariant text(const QString &s)
{
    return s.isNull() ? QVariant(QStringLiteral("")) : QVariant(s);
}

double orNaN(const QVariant &v)
{
    return v.isNull() ? std::numeric_limits<double>::quiet_NaN() : v.toDouble();
}

const char kColumns[] = "sha256, size, serial, device_name, job_name, unique_id, session_index, first_pulse, "
                        "last_pulse, pulses, unit, reading_start, reading_end, volume, night_minimum, "
                        "night_flow_unit, longest_flow_hours, leak, analysis_version";

const int kColumnCount = 19;

// The values of kColumns, in order.
QVariantList values(const LibraryRecord &r)
{
    const QVariant noTime(QVariant::LongLong);
    return {r.sha256,
            qlonglong(r.size),
            text(r.serial),
            text(r.deviceName),
            text(r.jobName),
            text(r.uniqueId),
            r.sessionIndex >= 0 ? QVariant(qlonglong(r.sessionIndex)) : QVariant(QVariant::LongLong),
            r.hasPulses ? QVariant(qlonglong(r.firstPulseMs)) : noTime,
            r.hasPulses ? QVariant(qlonglong(r.lastPulseMs)) : noTime,
            qlonglong(r.pulses),
            text(r.unit),
            nullable(r.readingStart),
            nullable(r.readingEnd),
            nullable(r.volume),
            nullable(r.nightMinimum),
            text(r.nightFlowUnit),
            r.longestFlowHours,
            r.leak ? 1 : 0,
            r.analysisVersion};
}

LibraryRecord fromQuery(const QSqlQuery &q)
{
    LibraryRecord r;
    r.sha256 = q.value(0).toString().trimmed();
    r.size = q.value(1).toLongLong();
    r.serial = q.value(2).toString();
    r.deviceName = q.value(3).toString();
    r.jobName = q.value(4).toString();
    r.uniqueId = q.value(5).toString();
    r.sessionIndex = q.value(6).isNull() ? -1 : q.value(6).toLongLong();
    r.hasPulses = !q.value(7).isNull();
    r.firstPulseMs = q.value(7).toLongLong();
    r.lastPulseMs = q.value(8).toLongLong();
    r.pulses = q.value(9).toLongLong();
    r.unit = q.value(10).toString();
    r.readingStart = orNaN(q.value(11));
    r.readingEnd = orNaN(q.value(12));
    r.volume = orNaN(q.value(13));
    r.nightMinimum = orNaN(q.value(14));
    r.nightFlowUnit = q.value(15).toString();
    r.longestFlowHours = q.value(16).toDouble();
    r.leak = q.value(17).toInt() != 0;
    r.analysisVersion = q.value(18).toInt();
    return r;
}

QString orderClause(const LibraryFilter &f)
{
    using C = LibraryFilter::Column;
    // NULLs last in either direction: the engines disagree on where they go by default.
    const auto by = [&](const char *column) {
        return QStringLiteral("CASE WHEN %1 IS NULL THEN 1 ELSE 0 END, %1 %2, sha256")
            .arg(QLatin1String(column), QLatin1String(f.descending ? "DESC" : "ASC"));
    };
    switch (f.sortColumn) {
    case C::Serial:
        return by("serial");
    case C::DeviceName:
        return by("device_name");
    case C::JobName:
        return by("job_name");
    case C::FirstPulse:
        return by("first_pulse");
    case C::LastPulse:
        return by("last_pulse");
    case C::Volume:
        return by("volume");
    case C::NightMinimum:
        return by("night_minimum");
    case C::Leak:
        return by("leak");
    case C::Default:
        break;
    }
    return QStringLiteral("leak DESC, CASE WHEN last_pulse IS NULL THEN 1 ELSE 0 END, last_pulse DESC, sha256");
}

QString searchText(const LibraryRecord &r)
{
    return LibrarySchema::searchText(r.serial, r.deviceName, r.jobName);
}

QString likePattern(const QString &text)
{
    QString escaped = LibrarySchema::fold(text);
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('%'), QLatin1String("\\%"));
    escaped.replace(QLatin1Char('_'), QLatin1String("\\_"));
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}

bool run(QSqlQuery &q, const QString &sql, const QVariantList &binds, QString *error)
{
    if (!q.prepare(sql)) {
        *error = q.lastError().text();
        return false;
    }
    for (const QVariant &v : binds)
        q.addBindValue(v);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}
}  // namespace

bool LibraryStore::isValidId(const QString &id)
{
    if (id.size() != 64)
        return false;
    for (const QChar c : id) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

LibraryStore::LibraryStore() : m_connectionName(QStringLiteral("tw_library_%1").arg(++g_connections)) {}

LibraryStore::~LibraryStore()
{
    close();
}

bool LibraryStore::connect(const QString &location, QString *error)
{
    if (ArchiveAddress::isAddress(location))
        return connectArchive(location, error);
    const QFileInfo file(location);
    if (!QDir().mkpath(file.absolutePath())) {
        *error = QStringLiteral("cannot create the folder %1").arg(file.absolutePath());
        return false;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(file.absoluteFilePath());
    // Another copy of the program may be writing: wait for it rather than fail.
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=60000"));
    if (!m_db.open()) {
        *error = QStringLiteral("cannot open the library %1: %2").arg(location, m_db.lastError().text());
        return false;
    }
    QSqlQuery q(m_db);
    // Readers (the window) never wait for a writer (the command line) and the other way round.
    // The switch to WAL needs the file to itself, and SQLite answers "locked" at once rather than
    // wait when two programs open a new library together: the loser tries again. Once switched,
    // the file stays in WAL and later opens find it so.
    QDeadlineTimer deadline(60000);
    for (;;) {
        if (q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && q.next() &&
            q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0)
            break;
        const bool locked = q.lastError().nativeErrorCode() == QLatin1String("5") ||
                            q.lastError().text().contains(QLatin1String("locked"));
        if (!locked || deadline.hasExpired()) {
            *error = QStringLiteral("%1 is not a library: %2").arg(location, q.lastError().text());
            return false;
        }
        QThread::msleep(20);
    }
    if (!q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))) {
        *error = QStringLiteral("%1 is not a library: %2").arg(location, q.lastError().text());
        return false;
    }
    return true;
}

bool LibraryStore::connectArchive(const QString &location, QString *error)
{
    const ArchiveAddress address = ArchiveAddress::parse(location);
    if (!address.isValid()) {
        *error = address.error();
        return false;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connectionName);
    address.applyTo(m_db);
    if (!m_db.open()) {
        *error = m_db.lastError().databaseText().simplified() + address.connectionHint(m_db.lastError().databaseText());
        return false;
    }
    // The server's notices ("already exists, skipping") would otherwise go to stderr.
    QSqlQuery(m_db).exec(QStringLiteral("SET client_min_messages TO WARNING"));
    return true;
}

bool LibraryStore::open(const QString &location, QString *error)
{
    close();
    m_location = location;
    if (!connect(location, error) || !LibrarySchema::migrate(m_db, error)) {
        // An address is shown as parsed, never as typed (it might carry a password); a refused
        // one is named by its error.
        const ArchiveAddress address = ArchiveAddress::parse(location);
        const QString shown = !ArchiveAddress::isAddress(location) ? location
                              : address.isValid()                  ? address.displayText()
                                                                   : QString();
        if (!shown.isEmpty() && !error->startsWith(shown))
            *error = QStringLiteral("%1: %2").arg(shown, *error);
        close();
        return false;
    }
    return true;
}

void LibraryStore::close()
{
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
}

bool LibraryStore::begin(QString *error)
{
    QSqlQuery q(m_db);
    if (!q.exec(LibrarySchema::beginWrite(LibrarySchema::dialect(m_db)))) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

bool LibraryStore::commit(QString *error)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("COMMIT"))) {
        *error = q.lastError().text();
        rollback();
        return false;
    }
    return true;
}

void LibraryStore::rollback()
{
    QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
}

bool LibraryStore::bumpGeneration(const QString &key, QString *error)
{
    QSqlQuery q(m_db);
    const uint shard = qHash(key) % uint(LibrarySchema::kGenerationShards);
    return run(q, QStringLiteral("UPDATE library_meta SET value = value + 1 WHERE name = ?"),
               {QStringLiteral("generation.%1").arg(shard)}, error);
}

bool LibraryStore::contentIntact(const QString &sha256, bool *intact, QString *error)
{
    const QString hash = LibrarySchema::contentHashExpression(LibrarySchema::dialect(m_db));
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!run(q,
             QStringLiteral("SELECT %1 FROM log_contents WHERE sha256 = ?")
                 .arg(hash.isEmpty() ? QStringLiteral("bytes") : hash),
             {sha256}, error))
        return false;
    if (!q.next()) {
        error->clear();
        return false;
    }
    const QString stored =
        hash.isEmpty() ? LibraryAnalysis::sha256Hex(q.value(0).toByteArray()) : q.value(0).toString();
    *intact = stored == sha256;
    return true;
}

bool LibraryStore::markPending(const QString &sha256, QString *error)
{
    return !m_markForArchive || setArchivePending(sha256, true, error);
}

LibraryStore::AddResult LibraryStore::add(const LibraryRecord &record, const QByteArray &raw, const QString &path,
                                          QString *error)
{
    if (!begin(error))
        return AddResult::Failed;
    const auto failed = [&] {
        rollback();
        return AddResult::Failed;
    };
    QSqlQuery q(m_db);
    QVariantList binds = values(record);
    binds.append(searchText(record));
    binds.append(QDateTime::currentMSecsSinceEpoch());
    if (!run(q,
             QStringLiteral("INSERT INTO logs (%1, search_text, added_at) VALUES (%2?) ON CONFLICT (sha256) DO NOTHING")
                 .arg(QLatin1String(kColumns), QStringLiteral("?, ").repeated(binds.size() - 1)),
             binds, error))
        return failed();
    AddResult result = AddResult::Present;
    if (q.numRowsAffected() == 1) {
        result = AddResult::Added;
        if (!run(q, QStringLiteral("INSERT INTO log_contents (sha256, bytes) VALUES (?, ?)"), {record.sha256, raw},
                 error))
            return failed();
    } else {
        // Whoever wrote the stored copy may have written other bytes under this id: they are
        // replaced, not kept (the sender would otherwise take the log as safely archived).
        bool intact = false;
        if (!contentIntact(record.sha256, &intact, error)) {
            if (!error->isEmpty())
                return failed();
            if (!run(q, QStringLiteral("INSERT INTO log_contents (sha256, bytes) VALUES (?, ?)"), {record.sha256, raw},
                     error))
                return failed();
            result = AddResult::Repaired;
        } else if (!intact) {
            if (!run(q, QStringLiteral("UPDATE log_contents SET bytes = ? WHERE sha256 = ?"), {raw, record.sha256},
                     error))
                return failed();
            result = AddResult::Repaired;
        }
        // Known content: only a newer analysis replaces the figures.
        QVariantList update = values(record).mid(1);
        update.append(searchText(record));
        update.append(record.sha256);
        update.append(record.analysisVersion);
        QString assignments = QLatin1String(kColumns).mid(int(strlen("sha256, ")));
        assignments.replace(QLatin1String(","), QLatin1String(" = ?,"));
        if (!run(q,
                 QStringLiteral("UPDATE logs SET %1 = ?, search_text = ? WHERE sha256 = ? AND analysis_version < ?")
                     .arg(assignments),
                 update, error))
            return failed();
        if (q.numRowsAffected() == 1 && result == AddResult::Present)
            result = AddResult::Reanalysed;
    }
    bool pathChanged = false;
    if (!path.isEmpty()) {
        if (!run(q, QStringLiteral("SELECT sha256 FROM log_paths WHERE path = ?"), {path}, error))
            return failed();
        const bool known = q.next();
        pathChanged = !known || q.value(0).toString().trimmed() != record.sha256;
        if (pathChanged && !run(q,
                                known ? QStringLiteral("UPDATE log_paths SET sha256 = ? WHERE path = ?")
                                      : QStringLiteral("INSERT INTO log_paths (sha256, path) VALUES (?, ?)"),
                                {record.sha256, path}, error))
            return failed();
    }
    if ((result != AddResult::Present || pathChanged) && !bumpGeneration(record.sha256, error))
        return failed();
    if (!markPending(record.sha256, error))
        return failed();
    return commit(error) ? result : AddResult::Failed;
}

bool LibraryStore::addPath(const QString &sha256, const QString &path, QString *error)
{
    QStringList found;
    if (!paths(sha256, &found, error))
        return false;
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT analysis_version FROM logs WHERE sha256 = ?"), {sha256}, error))
        return false;
    if (!q.next()) {
        *error = QStringLiteral("no log %1 in the library").arg(sha256);
        return false;
    }
    if (found.contains(path))
        return markPending(sha256, error);
    if (!begin(error))
        return false;
    if (!run(q, QStringLiteral("DELETE FROM log_paths WHERE path = ?"), {path}, error) ||
        !run(q, QStringLiteral("INSERT INTO log_paths (sha256, path) VALUES (?, ?)"), {sha256, path}, error) ||
        !bumpGeneration(sha256, error) || !markPending(sha256, error)) {
        rollback();
        return false;
    }
    return commit(error);
}

bool LibraryStore::removePath(const QString &path, QString *error)
{
    if (!begin(error))
        return false;
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("DELETE FROM log_paths WHERE path = ?"), {path}, error) ||
        !bumpGeneration(path, error)) {
        rollback();
        return false;
    }
    return commit(error);
}

bool LibraryStore::analysisVersions(QHash<QString, int> *versions, QString *error)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!run(q, QStringLiteral("SELECT sha256, analysis_version FROM logs"), {}, error))
        return false;
    versions->clear();
    while (q.next()) {
        const QString id = q.value(0).toString().trimmed();
        if (isValidId(id))
            versions->insert(id, q.value(1).toInt());
    }
    return true;
}

QString LibraryStore::whereClause(const LibraryFilter &f, QVariantList *binds) const
{
    QStringList terms;
    if (f.leaksOnly)
        terms << QStringLiteral("leak = 1");
    if (!f.serial.isEmpty()) {
        terms << QStringLiteral("serial = ?");
        binds->append(f.serial);
    }
    if (!f.text.trimmed().isEmpty()) {
        terms << QStringLiteral("search_text LIKE ? ESCAPE '\\'");
        binds->append(likePattern(f.text.trimmed()));
    }
    // Overlap with the span: logs without pulses overlap nothing.
    if (f.fromMs) {
        terms << QStringLiteral("last_pulse >= ?");
        binds->append(qlonglong(*f.fromMs));
    }
    if (f.toMs) {
        terms << QStringLiteral("first_pulse <= ?");
        binds->append(qlonglong(*f.toMs));
    }
    return terms.isEmpty() ? QString() : QStringLiteral(" WHERE ") + terms.join(QStringLiteral(" AND "));
}

bool LibraryStore::list(const LibraryFilter &filter, std::vector<LibraryRecord> *rows, QString *error, bool withPaths)
{
    return select(filter, rows, nullptr, withPaths, error);
}

bool LibraryStore::page(const LibraryFilter &filter, std::vector<LibraryRecord> *rows, int *total, QString *error)
{
    *total = 0;
    if (!select(filter, rows, total, false, error))
        return false;
    // a page past the end says nothing of the total
    return !rows->empty() || filter.offset == 0 || count(filter, total, error);
}

bool LibraryStore::select(const LibraryFilter &filter, std::vector<LibraryRecord> *rows, int *total, bool withPaths,
                          QString *error)
{
    QVariantList binds;
    const QString where = whereClause(filter, &binds);
    QString sql =
        QStringLiteral("SELECT %1%2 FROM logs%3 ORDER BY %4")
            .arg(QLatin1String(kColumns), QLatin1String(total ? ", COUNT(*) OVER ()" : ""), where, orderClause(filter));
    if (filter.limit >= 0)
        sql += QStringLiteral(" LIMIT %1 OFFSET %2").arg(filter.limit).arg(filter.offset);
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!run(q, sql, binds, error))
        return false;
    rows->clear();
    m_damagedRows = 0;
    while (q.next()) {
        if (total)
            *total = q.value(kColumnCount).toInt();
        LibraryRecord r = fromQuery(q);
        if (isValidId(r.sha256))
            rows->push_back(std::move(r));
        else
            ++m_damagedRows;
    }
    return !withPaths || attachPaths(rows, error);
}

bool LibraryStore::attachPaths(std::vector<LibraryRecord> *rows, QString *error)
{
    if (rows->empty())
        return true;
    // The listed rows' paths only: the table of paths may be far larger than the listing.
    QHash<QString, size_t> index;
    QStringList ids;
    for (size_t i = 0; i < rows->size(); ++i) {
        ids.append((*rows)[i].sha256);
        index.insert((*rows)[i].sha256, i);
    }
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!run(q,
             QStringLiteral("SELECT sha256, path FROM log_paths WHERE %1 ORDER BY path")
                 .arg(LibrarySchema::inIdListCondition(LibrarySchema::dialect(m_db))),
             {ids.join(QLatin1Char(','))}, error))
        return false;
    while (q.next()) {
        const auto it = index.constFind(q.value(0).toString().trimmed());
        if (it != index.constEnd())
            (*rows)[*it].paths.append(q.value(1).toString());
    }
    return true;
}

bool LibraryStore::count(const LibraryFilter &filter, int *rows, QString *error)
{
    QVariantList binds;
    const QString where = whereClause(filter, &binds);
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT COUNT(*) FROM logs") + where, binds, error) || !q.next())
        return false;
    *rows = q.value(0).toInt();
    return true;
}

bool LibraryStore::findByPrefix(const QString &prefix, QStringList *ids, QString *error)
{
    ids->clear();
    const QString lower = prefix.toLower();
    for (const QChar c : lower) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return true;  // not hex: matches nothing
    }
    QSqlQuery q(m_db);
    // a range, not LIKE, so the primary key's index answers it
    if (!run(q, QStringLiteral("SELECT sha256 FROM logs WHERE sha256 >= ? AND sha256 < ? ORDER BY sha256"),
             {lower, lower + QLatin1Char('g')}, error))
        return false;
    while (q.next()) {
        const QString id = q.value(0).toString().trimmed();
        if (isValidId(id))
            ids->append(id);
    }
    return true;
}

bool LibraryStore::findByPath(const QString &path, QString *sha256, QString *error)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT sha256 FROM log_paths WHERE path = ?"), {path}, error))
        return false;
    *sha256 = q.next() ? q.value(0).toString().trimmed() : QString();
    if (!sha256->isEmpty() && !isValidId(*sha256))
        sha256->clear();
    return true;
}

bool LibraryStore::paths(const QString &sha256, QStringList *paths, QString *error)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT path FROM log_paths WHERE sha256 = ? ORDER BY path"), {sha256}, error))
        return false;
    paths->clear();
    while (q.next())
        paths->append(q.value(0).toString());
    return true;
}

bool LibraryStore::remove(const QString &sha256, QString *error)
{
    if (!begin(error))
        return false;
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("DELETE FROM logs WHERE sha256 = ?"), {sha256}, error)) {
        rollback();
        return false;
    }
    if (q.numRowsAffected() != 1) {
        rollback();
        *error = QStringLiteral("no log %1 in the library").arg(sha256);
        return false;
    }
    if (!run(q, QStringLiteral("DELETE FROM log_paths WHERE sha256 = ?"), {sha256}, error) ||
        !run(q, QStringLiteral("DELETE FROM log_contents WHERE sha256 = ?"), {sha256}, error) ||
        !bumpGeneration(sha256, error)) {
        rollback();
        return false;
    }
    return commit(error);
}

bool LibraryStore::rawLog(const QString &sha256, QByteArray *bytes, QString *error)
{
    bytes->clear();
    if (!isValidId(sha256)) {
        *error = QStringLiteral("not a log id");
        return false;
    }
    // The size first: a row of gigabytes must not take every colleague's memory.
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!run(q,
             QStringLiteral("SELECT %1(bytes) FROM log_contents WHERE sha256 = ?")
                 .arg(LibrarySchema::byteLengthFunction(LibrarySchema::dialect(m_db))),
             {sha256}, error))
        return false;
    if (!q.next()) {
        *error = QStringLiteral("no log %1 in the library").arg(sha256);
        return false;
    }
    if (q.value(0).toLongLong() > LibraryAdder::kMaxFileSize) {
        *error = QStringLiteral("the stored copy of %1 is damaged (%2 bytes, more than a raw log can hold)")
                     .arg(sha256)
                     .arg(q.value(0).toLongLong());
        return false;
    }
    if (!run(q, QStringLiteral("SELECT bytes FROM log_contents WHERE sha256 = ?"), {sha256}, error))
        return false;
    if (!q.next()) {
        *error = QStringLiteral("no log %1 in the library").arg(sha256);
        return false;
    }
    const QByteArray stored = q.value(0).toByteArray();
    if (LibraryAnalysis::sha256Hex(stored) != sha256) {
        *error = QStringLiteral("the stored copy of %1 is damaged").arg(sha256);
        return false;
    }
    *bytes = stored;
    return true;
}

bool LibraryStore::generation(qint64 *value, QString *error)
{
    {
        QSqlQuery q(m_db);
        if (run(q, QStringLiteral("SELECT SUM(value) FROM library_meta WHERE name LIKE 'generation.%'"), {}, error) &&
            q.next()) {
            *value = q.value(0).toLongLong();
            return true;
        }
    }
    // A connection lost here would fail every later query too: the next use connects again.
    if (LibrarySchema::dialect(m_db) == LibrarySchema::Dialect::PostgreSQL)
        close();
    return false;
}

bool LibraryStore::record(const QString &sha256, LibraryRecord *record, QString *error)
{
    QSqlQuery q(m_db);
    if (!run(q, QStringLiteral("SELECT %1 FROM logs WHERE sha256 = ?").arg(QLatin1String(kColumns)), {sha256}, error))
        return false;
    if (!q.next()) {
        *error = QStringLiteral("no log %1 in the library").arg(sha256);
        return false;
    }
    *record = fromQuery(q);
    return paths(sha256, &record->paths, error);
}

bool LibraryStore::setArchivePending(const QString &sha256, bool pending, QString *error)
{
    QSqlQuery q(m_db);
    return run(q,
               pending
                   ? QStringLiteral("INSERT INTO archive_pending (sha256) VALUES (?) ON CONFLICT (sha256) DO NOTHING")
                   : QStringLiteral("DELETE FROM archive_pending WHERE sha256 = ?"),
               {sha256}, error);
}

bool LibraryStore::archivePending(QStringList *ids, QString *error)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!run(q,
             QStringLiteral("SELECT archive_pending.sha256 FROM archive_pending JOIN logs ON logs.sha256 = "
                            "archive_pending.sha256 ORDER BY archive_pending.sha256"),
             {}, error))
        return false;
    ids->clear();
    while (q.next()) {
        const QString id = q.value(0).toString().trimmed();
        if (isValidId(id))
            ids->append(id);
    }
    return true;
}
