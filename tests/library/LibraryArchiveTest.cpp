// The team archive on a real PostgreSQL server (one private server for this program): the
// address table, then "machines" (each its own local library) driving tarrowind-cli against
// one archive, while this test looks at the archive through its own connection.
#include "CliRun.h"
#include "library/ArchiveAddress.h"
#include "library/LibraryAnalysis.h"
#include "library/LibraryStore.h"
#include "library/LibraryTableModel.h"
#include "PgTestServer.h"
#include "sim/SimulatedRawLog.h"
#include "WaitUntil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct AddressCase {
    const char *text;
    const char *user;
    const char *host;
    int port;
    const char *database;
    const char *errorPart;  // empty: valid
};

TEST(ArchiveAddress, ParsesLibpqAddressesAndRefusesPasswords)
{
    const AddressCase cases[] = {
        {"postgresql://archive.example.org/fleet", "", "archive.example.org", -1, "fleet", ""},
        {"postgres://tech@10.0.0.5:6543/fleet", "tech", "10.0.0.5", 6543, "fleet", ""},
        {"postgresql://tech@[fe80::1]:5432/fleet", "tech", "fe80::1", 5432, "fleet", ""},
        {"postgresql://x@localhost:5433/tw?host=/tmp/pg%20dir", "x", "/tmp/pg dir", 5433, "tw", ""},
        {"postgresql://postgres@localhost:54329/tw?host=/tmp/tw-pg/7", "postgres", "/tmp/tw-pg/7", 54329, "tw", ""},
        {"postgresql:///tw?host=/run/pg&port=7", "", "/run/pg", 7, "tw", ""},
        {"postgresql://t%C3%A9ch@h/d%2Db",
         "t\xc3\xa9"
         "ch",
         "h", -1, "d-b", ""},
        {"  postgresql://h/db  ", "", "h", -1, "db", ""},
        {"postgresql://tech:s3cret@h/db", "", "", 0, "", "~/.pgpass"},
        {"postgresql://tech:@h/db", "", "", 0, "", "PGPASSFILE"},
        {"postgresql://h/db?password=s3cret", "", "", 0, "", "~/.pgpass"},
        {"postgresql://h/db?passfile=/x", "", "", 0, "", "~/.pgpass"},
        {"mysql://h/db", "", "", 0, "", "postgresql://"},
        {"/var/lib/tw/library.sqlite", "", "", 0, "", "postgresql://"},
        {"postgresql://h", "", "", 0, "", "no database"},
        {"postgresql://h/", "", "", 0, "", "no database"},
        {"postgresql://h:0/db", "", "", 0, "", "port"},
        {"postgresql://h:65536/db", "", "", 0, "", "port"},
        {"postgresql://h:54x/db", "", "", 0, "", "port"},
        {"postgresql://@h/db", "", "", 0, "", "user name"},
        {"postgresql://[fe80::1/db", "", "", 0, "", "'['"},
        {"postgresql://h/a/b", "", "", 0, "", "'/'"},
        {"postgresql://h/db?sslmode=require%20host%3Devil", "", "", 0, "", "sslmode"},
        {"postgresql://h/db?sslmode=sometimes", "", "", 0, "", "verify-full"},
        {"postgresql://h/db?options=-csearch_path", "", "", 0, "", "does not take"},
        // The user part is found before the path and the query: these are passwords.
        {"postgresql://bob:5432?s3cret@db/team", "", "", 0, "", "~/.pgpass"},
        {"postgresql://bob:12/s3cret@db", "", "", 0, "", "~/.pgpass"},
        {"postgresql://h/db?sslrootcert=/s3cret@x", "", "", 0, "", "%40"},
        {"postgresql://h/db?sslmode=verify-ca&sslrootcert=/etc/tw/ca.crt", "", "h", -1, "db", ""},
    };
    for (const AddressCase &c : cases) {
        SCOPED_TRACE(c.text);
        const ArchiveAddress a = ArchiveAddress::parse(QString::fromUtf8(c.text));
        if (*c.errorPart) {
            EXPECT_FALSE(a.isValid());
            EXPECT_TRUE(a.error().contains(QLatin1String(c.errorPart))) << a.error().toStdString();
            EXPECT_FALSE(a.error().contains(QLatin1String("s3cret")));
            continue;
        }
        ASSERT_TRUE(a.isValid()) << a.error().toStdString();
        EXPECT_EQ(a.userName(), QString::fromUtf8(c.user));
        EXPECT_EQ(a.host(), QString::fromUtf8(c.host));
        EXPECT_EQ(a.port(), c.port);
        EXPECT_EQ(a.database(), QString::fromUtf8(c.database));
        // What is shown reads back as the same address.
        const ArchiveAddress again = ArchiveAddress::parse(a.displayText());
        EXPECT_EQ(again.host(), a.host());
        EXPECT_EQ(again.port(), a.port());
        EXPECT_EQ(again.database(), a.database());
        EXPECT_EQ(again.userName(), a.userName());
        EXPECT_EQ(again.connectOptions(), a.connectOptions());
    }
    // Over TCP: encrypted and verified unless the address says otherwise; an unreachable server
    // turns into an offline save within seconds.
    const char *const system = "sslrootcert=/etc/ssl/certs/ca-certificates.crt";
    const std::pair<const char *, QString> options[] = {
        {"postgresql://h/db", QStringLiteral("sslmode=verify-full;%1;connect_timeout=10").arg(system)},
        {"postgresql://h/db?sslrootcert=/x/ca.crt", "sslmode=verify-full;sslrootcert=/x/ca.crt;connect_timeout=10"},
        {"postgresql://h/db?sslmode=verify-ca", QStringLiteral("sslmode=verify-ca;%1;connect_timeout=10").arg(system)},
        {"postgresql://h/db?sslmode=require&connect_timeout=3", "sslmode=require;connect_timeout=3"},
        {"postgresql:///tw?host=/run/pg", "connect_timeout=10"},
    };
    for (const auto &[text, expected] : options)
        EXPECT_EQ(ArchiveAddress::parse(text).connectOptions(), expected) << text;
}

TEST(ArchiveAddress, OptionThenVariableThenSetting)
{
    qputenv("TW_ARCHIVE", "postgresql://env/db");
    EXPECT_EQ(ArchiveAddress::configured("postgresql://opt/db", "postgresql://set/db"), "postgresql://opt/db");
    EXPECT_EQ(ArchiveAddress::configured(" ", "postgresql://set/db"), "postgresql://env/db");
    qunsetenv("TW_ARCHIVE");
    EXPECT_EQ(ArchiveAddress::configured(QString(), "postgresql://set/db"), "postgresql://set/db");
    EXPECT_EQ(ArchiveAddress::configured(QString(), QString()), QString());
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

class ArchiveTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        QString error;
        ASSERT_TRUE(PgTestServer::shared().start(&error)) << error.toStdString();
    }

    void SetUp() override
    {
        ASSERT_TRUE(PgTestServer::shared().isRunning());
        static int databases = 0;
        database = QStringLiteral("tw_%1").arg(++databases);
        QString error;
        ASSERT_TRUE(PgTestServer::shared().createDatabase(database, &error)) << error.toStdString();
        address = PgTestServer::shared().address(database);
    }

    // Log `n` of a small fleet: distinct content for every n, leaking for every third.
    QByteArray log(int n) const
    {
        SimulatedRawLog::Options o;
        o.profile.seed = uint32_t(100 + n);
        o.profile.leak = n % 3 == 0;
        o.startMs += int64_t(n) * 86400000;
        o.days = 1;
        o.metaData = {{"Logger Serial", QString::number(5000 + n % 4)}, {"Logger Job Name", QString("job %1").arg(n)}};
        return SimulatedRawLog::build(o);
    }

    // Writes logs `numbers` into `folder` (named by number, so machines holding the same log
    // reach it at the same moment); returns their ids.
    QSet<QString> writeLogs(const QString &folder, const QList<int> &numbers)
    {
        QSet<QString> ids;
        QDir().mkpath(dir.filePath(folder));
        for (int n : numbers) {
            const QByteArray bytes = log(n);
            QFile f(dir.filePath(QStringLiteral("%1/log-%2.rlog").arg(folder).arg(n, 3, 10, QLatin1Char('0'))));
            EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
            ids.insert(QString::fromLatin1(sha256Hex(bytes)));
        }
        return ids;
    }

    QMap<QString, QString> machine(const QString &name, const QString &archive = QString()) const
    {
        return {{"TW_LIBRARY", dir.filePath(name + "/library.sqlite")},
                {"TW_ARCHIVE", archive.isEmpty() ? address : archive}};
    }

    int archiveCount(const QString &sql) const
    {
        QString error;
        const QString out = PgTestServer::shared().query(database, sql, &error);
        EXPECT_FALSE(out.isNull()) << error.toStdString();
        return out.toInt();
    }

    // Every row with its bytes, and nothing else.
    void expectConsistentArchive(int rows) const
    {
        EXPECT_EQ(archiveCount("SELECT count(*) FROM logs"), rows);
        EXPECT_EQ(archiveCount("SELECT count(*) FROM log_contents"), rows);
        EXPECT_EQ(archiveCount("SELECT count(*) FROM logs l LEFT JOIN log_contents c ON c.sha256 = l.sha256 "
                               "WHERE c.sha256 IS NULL"),
                  0);
    }

    static QJsonObject json(const CliResult &r)
    {
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out).object();
    }

    QTemporaryDir dir;
    QString database;
    QString address;
};

TEST_F(ArchiveTest, TwoMachinesAddAtOnceAndAThirdOpensEveryLog)
{
    // Overlapping fleets: logs 4-9 are on both machines.
    const QSet<QString> first = writeLogs("m1", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    const QSet<QString> second = writeLogs("m2", {4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    QProcess *a = startCli({"library", "add", dir.filePath("m1"), "--json"}, machine("m1"));
    QProcess *b = startCli({"library", "add", dir.filePath("m2"), "--json"}, machine("m2"));
    for (const CliResult &r : {finishCli(a), finishCli(b)}) {
        const QJsonObject o = json(r);
        EXPECT_EQ(o.value("added").toArray().size(), 10);
        EXPECT_EQ(o.value("archive").toObject().value("sent").toArray().size(), 10) << r.out.toStdString();
        EXPECT_TRUE(o.value("archive").toObject().value("waiting").toArray().isEmpty()) << r.out.toStdString();
    }
    const QSet<QString> all = first + second;
    expectConsistentArchive(all.size());

    // A third machine, whose own library is empty, lists and opens them all.
    const CliResult listed = runCli({"library", "list", "--archive", "--json"}, machine("m3"));
    ASSERT_EQ(listed.status, 0) << listed.err.toStdString();
    QSet<QString> ids;
    for (const QJsonValue &v : QJsonDocument::fromJson(listed.out).array()) {
        const QJsonObject row = v.toObject();
        const QString id = row.value("sha256").toString();
        ids.insert(id);
        // A shared log is recorded where each machine saved it.
        EXPECT_EQ(row.value("paths").toArray().size(), first.contains(id) && second.contains(id) ? 2 : 1)
            << qPrintable(id);
        const QString out = dir.filePath("opened-" + id + ".rlog");
        const CliResult opened = runCli({"library", "open", id.left(10), "-o", out, "--archive"}, machine("m3"));
        ASSERT_EQ(opened.status, 0) << opened.err.toStdString();
        QFile f(out);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(QString::fromLatin1(sha256Hex(f.readAll())), id);
    }
    EXPECT_EQ(ids, all);
    EXPECT_TRUE(QJsonDocument::fromJson(runCli({"library", "list", "--json"}, machine("m3")).out).array().isEmpty());
}

TEST_F(ArchiveTest, ConnectionKilledMidAddLeavesNoHalfLogAndSaysWhichWasNotAdded)
{
    const QSet<QString> ids = writeLogs("m1", {20, 21, 22});
    ASSERT_EQ(runCli({"library", "list", "--archive"}, machine("m1")).status, 0);  // creates the tables

    // This connection holds the raw-log table, so the first add stops halfway: its row is
    // written, its bytes wait.
    QSqlDatabase blocker = QSqlDatabase::addDatabase("QPSQL", "blocker");
    ArchiveAddress::parse(address).applyTo(blocker);
    ASSERT_TRUE(blocker.open());
    QSqlQuery q(blocker);
    ASSERT_TRUE(q.exec("BEGIN") && q.exec("LOCK TABLE log_contents IN ACCESS EXCLUSIVE MODE"));
    QProcess *adding = startCli({"library", "add", dir.filePath("m1"), "--json"}, machine("m1"));
    const QString waiting = QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE datname = '%1' AND "
                                           "wait_event_type = 'Lock'")
                                .arg(database);
    ASSERT_TRUE(waitUntil([&] { return archiveCount(waiting) == 1; }, 60000));
    EXPECT_EQ(PgTestServer::shared().terminateConnections(database, "wait_event_type = 'Lock'"), 1);
    q.exec("ROLLBACK");
    blocker.close();

    const QJsonObject o = json(finishCli(adding));
    EXPECT_EQ(o.value("added").toArray().size(), 3);
    const QJsonArray notSent = o.value("archive").toObject().value("waiting").toArray();
    ASSERT_EQ(notSent.size(), 1);
    const QString lost = notSent.first().toObject().value("sha256").toString();
    QFile lostFile(notSent.first().toObject().value("path").toString());
    ASSERT_TRUE(lostFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromLatin1(sha256Hex(lostFile.readAll())), lost);
    EXPECT_TRUE(ids.contains(lost));
    EXPECT_EQ(o.value("archive").toObject().value("sent").toArray().size(), 2);
    expectConsistentArchive(2);
    EXPECT_EQ(archiveCount(QStringLiteral("SELECT count(*) FROM logs WHERE sha256 = '%1'").arg(lost)), 0);
}

TEST_F(ArchiveTest, OfflineSavesSyncExactlyOnce)
{
    const QSet<QString> ids = writeLogs("m1", {30, 31, 32});
    const QString unreachable =
        QStringLiteral("postgresql://postgres@localhost/%1?host=%2").arg(database, dir.filePath("no-server"));
    const QJsonObject offline =
        json(runCli({"library", "add", dir.filePath("m1"), "--json"}, machine("m1", unreachable)));
    EXPECT_EQ(offline.value("added").toArray().size(), 3);
    EXPECT_EQ(offline.value("archive").toObject().value("waiting").toArray().size(), 3);

    // Back online: the first sync sends all three, the next has nothing left, and adding the
    // same files again changes nothing in the archive.
    QSet<QString> sent;
    for (const QJsonValue &v : json(runCli({"library", "sync", "--json"}, machine("m1"))).value("sent").toArray())
        sent.insert(v.toString());
    EXPECT_EQ(sent, ids);
    const QJsonObject again = json(runCli({"library", "sync", "--json"}, machine("m1")));
    EXPECT_TRUE(again.value("sent").toArray().isEmpty());
    EXPECT_TRUE(again.value("waiting").toArray().isEmpty());
    EXPECT_EQ(
        json(runCli({"library", "add", dir.filePath("m1"), "--json"}, machine("m1"))).value("skipped").toArray().size(),
        3);
    expectConsistentArchive(3);
    EXPECT_EQ(archiveCount("SELECT count(*) FROM log_paths"), 3);
}

TEST_F(ArchiveTest, RowsAreTrustedOnlyOnceCheckedAndSearchFoldsCaseOnBothEngines)
{
    // What a colleague (or an impostor) may write, through a connection of its own.
    QSqlDatabase colleague = QSqlDatabase::addDatabase("QSQLITE", "colleague");
    colleague.setDatabaseName(dir.filePath("local.sqlite"));
    for (const QString &location : {colleague.databaseName(), address}) {
        SCOPED_TRACE(location.toStdString());
        const auto write = [&](const QString &sql) {
            EXPECT_TRUE(location == address ? !PgTestServer::shared().query(database, sql).isNull()
                                            : colleague.open() && QSqlQuery(colleague).exec(sql));
        };
        LibraryStore store;
        QString error;
        ASSERT_TRUE(store.open(location, &error)) << error.toStdString();
        const char *const names[] = {"Östra 1", "ÖSTRA 2", "Ostra 3", "Väst 4"};
        QStringList ids;
        QByteArray bytes[4];
        LibraryRecord records[4];
        for (int n = 0; n < 4; ++n) {
            bytes[n] = log(40 + n);
            ASSERT_TRUE(LibraryAnalysis::analyse(bytes[n], &records[n], &error)) << error.toStdString();
            records[n].deviceName = QString::fromUtf8(names[n]);
            ASSERT_EQ(store.add(records[n], bytes[n], QString(), &error), LibraryStore::AddResult::Added);
            ids << records[n].sha256;
        }
        LibraryFilter filter;
        filter.text = QString::fromUtf8("östra");
        int rows = 0;
        EXPECT_TRUE(store.count(filter, &rows, &error) && rows == 2) << rows;

        write(QStringLiteral("UPDATE logs SET sha256 = '../rv/owned' WHERE sha256 = '%1'").arg(ids[3]));
        write(QStringLiteral("UPDATE log_contents SET bytes = (SELECT bytes FROM log_contents WHERE sha256 = '%1') "
                             "WHERE sha256 = '%2'")
                  .arg(ids[1], ids[0]));
        std::vector<LibraryRecord> listed;
        ASSERT_TRUE(store.list(LibraryFilter(), &listed, &error));
        EXPECT_EQ(listed.size(), 3u);
        EXPECT_EQ(store.damagedRows(), 1);
        QStringList found;
        EXPECT_TRUE(store.findByPrefix("", &found, &error) && found.size() == 3) << found.size();

        QByteArray read;
        EXPECT_FALSE(store.rawLog(ids[0], &read, &error) || !read.isEmpty());
        EXPECT_TRUE(error.contains("stored copy of " + ids[0] + " is damaged")) << error.toStdString();
        EXPECT_EQ(store.add(records[0], bytes[0], QString(), &error), LibraryStore::AddResult::Repaired);
        EXPECT_TRUE(store.rawLog(ids[0], &read, &error) && read == bytes[0]) << error.toStdString();
    }
}

TEST_F(ArchiveTest, AnAddKilledMidwayLeavesEveryAddedLogForSync)
{
    QList<int> numbers;
    for (int n = 100; n < 260; ++n)
        numbers << n;
    writeLogs("m1", numbers);
    QProcess *adding = startCli({"library", "add", dir.filePath("m1")}, machine("m1"));
    const auto localRows = [&] {
        return QJsonDocument::fromJson(runCli({"library", "list", "--json"}, machine("m1")).out).array().size();
    };
    ASSERT_TRUE(waitUntil([&] { return localRows() >= 3; }, 120000));
    ::kill(pid_t(adding->processId()), SIGKILL);
    finishCli(adding);
    const int added = localRows();
    EXPECT_LT(added, numbers.size());  // killed while adding, not after

    const QJsonObject synced = json(runCli({"library", "sync", "--json"}, machine("m1")));
    EXPECT_EQ(synced.value("waiting").toArray().size(), 0);
    EXPECT_EQ(archiveCount("SELECT count(*) FROM logs"), added);
    expectConsistentArchive(added);
}

TEST_F(ArchiveTest, TheWindowsTableWaitsForAnArchiveAndFollowsItOnceItAnswers)
{
    const QString later = PgTestServer::shared().address(database + "_later");
    LibraryTableModel model;
    model.setPollIntervalMs(100);
    model.setLocation(later);
    ASSERT_TRUE(waitUntil([&] { return model.lastError().startsWith("Offline, retrying: "); }, 60000));
    ASSERT_TRUE(PgTestServer::shared().createDatabase(database + "_later"));
    // The second time, after the connection it follows was lost under it.
    for (int n = 1; n <= 2; ++n) {
        if (n == 2) {
            EXPECT_GE(PgTestServer::shared().terminateConnections(database + "_later"), 1);
        }
        const QString name = QStringLiteral("m%1").arg(n);
        writeLogs(name, {50 + n});
        ASSERT_EQ(runCli({"library", "add", dir.filePath(name)}, machine(name, later)).status, 0);
        EXPECT_TRUE(waitUntil([&] { return model.count() == n && model.lastError().isEmpty(); }, 60000))
            << model.lastError().toStdString();
    }
}

}  // namespace

TEST(ArchiveTls, ANetworkArchiveIsVerifiedAgainstTheSystemOrTheNamedAuthority)
{
    QTemporaryDir dir;
    const QString certificate = dir.filePath("server.crt"), key = dir.filePath("server.key");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                              "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", certificate});
    ASSERT_TRUE(openssl.waitForFinished(60000) && openssl.exitCode() == 0) << openssl.readAllStandardError().data();
    PgTestServer server;
    server.setTls(certificate, key);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();
    const QString address = QStringLiteral("postgresql://postgres@127.0.0.1:%1/postgres").arg(server.port());

    LibraryStore store;
    EXPECT_FALSE(store.open(address, &error));
    EXPECT_TRUE(error.contains("?sslrootcert=")) << error.toStdString();
    ASSERT_TRUE(store.open(address + "?sslrootcert=" + certificate, &error)) << error.toStdString();
    EXPECT_EQ(server.query("postgres", "SELECT count(*) FROM pg_stat_ssl WHERE ssl"), "1");
}
