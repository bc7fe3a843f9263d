// The team archive on a private PostgreSQL server with durable commits (fsync on, as a real
// server runs): adds per second from 1, 2 and 4 clients at once, each on its own connection,
// and the fleet listing (`library list --leaks`) over 100,000 rows. The baselines are the same
// work on a local SQLite library in the same run.
#include "library/ArchiveAddress.h"
#include "library/LibraryAnalysis.h"
#include "library/LibraryArchive.h"
#include "library/LibraryStore.h"
#include "PgTestServer.h"
#include "sim/SimulatedRawLog.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr int kFleetRows = 100000;
constexpr int kLeakEvery = 20;  // 5 % of the fleet leaks

PgTestServer *g_server = nullptr;
QTemporaryDir *g_dir = nullptr;
std::atomic<int> g_nextLog{0};

// One analysed 30-day log; every add gives it a new id, so each add writes a new row and bytes.
const std::pair<LibraryRecord, QByteArray> &sampleLog()
{
    static const std::pair<LibraryRecord, QByteArray> sample = [] {
        SimulatedRawLog::Options o;
        o.days = 30;
        o.metaData = {{"Logger Serial", "4711"}, {"Logger Job Name", "bench"}};
        std::pair<LibraryRecord, QByteArray> s;
        s.second = SimulatedRawLog::build(o);
        QString error;
        if (!LibraryAnalysis::analyse(s.second, &s.first, &error))
            std::fprintf(stderr, "bench: %s\n", qPrintable(error));
        return s;
    }();
    return sample;
}

QString location(bool archive, const QString &name)
{
    return archive ? g_server->address(name) : g_dir->filePath(name + QStringLiteral(".sqlite"));
}

void addLogs(benchmark::State &state, bool archive)
{
    LibraryStore store;
    QString error;
    if (!store.open(location(archive, QStringLiteral("adds")), &error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    const auto &[record, raw] = sampleLog();
    for (auto _ : state) {
        LibraryRecord r = record;
        r.sha256 = QString::fromLatin1(
            QCryptographicHash::hash(QByteArray::number(g_nextLog++), QCryptographicHash::Sha256).toHex());
        if (store.add(r, raw, LibraryArchive::archivePath(QStringLiteral("/logs/") + r.sha256), &error) ==
            LibraryStore::AddResult::Failed) {
            state.SkipWithError(qPrintable(error));
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["log_bytes"] = benchmark::Counter(double(raw.size()), benchmark::Counter::kAvgThreads);
}

void BM_ArchiveAdd(benchmark::State &state)
{
    addLogs(state, true);
}
BENCHMARK(BM_ArchiveAdd)->Threads(1)->Threads(2)->Threads(4)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_BaselineSqliteAdd(benchmark::State &state)
{
    addLogs(state, false);
}
BENCHMARK(BM_BaselineSqliteAdd)->Threads(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// A fleet of kFleetRows logs written by SQL (the analysis is not what is measured), one path
// each, through a connection of the benchmark's own next to the store that made the tables.
bool fillFleet(LibraryStore &store, bool archive, QString *error)
{
    if (!store.open(location(archive, QStringLiteral("fleet")), error))
        return false;
    QSqlDatabase db = QSqlDatabase::addDatabase(archive ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"),
                                                QStringLiteral("fill"));
    if (archive)
        ArchiveAddress::parse(location(true, QStringLiteral("fleet"))).applyTo(db);
    else
        db.setDatabaseName(location(false, QStringLiteral("fleet")));
    bool ok = db.open();
    {
        const QString rows = QString::number(kFleetRows);
        const QString numbers =
            archive ? QStringLiteral("FROM generate_series(1::bigint, ") + rows + QStringLiteral(") AS n(i)")
                    : QStringLiteral("FROM n");
        const QString prefix =
            archive ? QString()
                    : QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ") +
                          rows + QStringLiteral(") ");
        const QString id = archive ? QStringLiteral("lpad(i::text, 64, '0')") : QStringLiteral("printf('%064d', i)");
        QSqlQuery q(db);
        const QString insert =
            QStringLiteral("INSERT INTO logs (sha256, size, serial, device_name, job_name, unique_id, session_index, "
                           "first_pulse, last_pulse, pulses, unit, night_minimum, night_flow_unit, "
                           "longest_flow_hours, leak, analysis_version, added_at) SELECT %1, 60000, '' || (1000 + i "
                           "%% 3000), 'Site ' || (i %% 3000), 'job ' || i, '', i %% 40, 1700000000000 + i * 600000, "
                           "1700000000000 + i * 600000 + 2592000000, 20000, 'Gallons', (i %% 7) * 0.1, "
                           "'Gallons/Minute', i %% 24, CASE WHEN i %% %2 = 0 THEN 1 ELSE 0 END, 1, 0 ")
                .arg(id)
                .arg(kLeakEvery)
                .replace(QStringLiteral("%%"), QStringLiteral("%"));
        ok = ok && q.exec(prefix + insert + numbers);
        ok = ok && q.exec(QStringLiteral("INSERT INTO log_paths (path, sha256) SELECT 'tech-laptop:/logs/' || "
                                         "sha256 || '.rlog', sha256 FROM logs"));
        ok = ok && q.exec(QStringLiteral("ANALYZE"));
        if (!ok)
            *error = q.lastError().text().isEmpty() ? db.lastError().text() : q.lastError().text();
    }
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return ok;
}

void listLeaks(benchmark::State &state, bool archive)
{
    LibraryStore store;
    QString error;
    if (!fillFleet(store, archive, &error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    LibraryFilter filter;
    filter.leaksOnly = true;
    std::vector<LibraryRecord> rows;
    for (auto _ : state) {
        if (!store.list(filter, &rows, &error)) {
            state.SkipWithError(qPrintable(error));
            break;
        }
    }
    state.counters["rows"] = double(rows.size());
    state.counters["fleet"] = double(kFleetRows);
}

void BM_ArchiveListLeaks(benchmark::State &state)
{
    listLeaks(state, true);
}
BENCHMARK(BM_ArchiveListLeaks)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_BaselineSqliteListLeaks(benchmark::State &state)
{
    listLeaks(state, false);
}
BENCHMARK(BM_BaselineSqliteListLeaks)->Unit(benchmark::kMillisecond)->Iterations(20);
}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    PgTestServer server;
    server.setServerSettings({});  // durable commits, as on a real server
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "bench: no PostgreSQL server: %s\n", qPrintable(error));
        return 1;
    }
    if (!server.createDatabase(QStringLiteral("adds"), &error) ||
        !server.createDatabase(QStringLiteral("fleet"), &error)) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(error));
        return 1;
    }
    QTemporaryDir dir;
    g_server = &server;
    g_dir = &dir;
    sampleLog();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
