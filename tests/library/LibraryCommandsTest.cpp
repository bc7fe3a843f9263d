// `library add|list|export|remove|open` against raw logs of the virtual household: the figures
// are compared with `log-info` on the same files, and the store with what was handed to it.
#include "CliRun.h"
#include "library/LibrarySchema.h"
#include "sim/SimulatedRawLog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

namespace {
using Result = CliResult;

QProcess *start(const QStringList &args, const QString &library)
{
    return startCli(args, {{QStringLiteral("TW_LIBRARY"), library}});
}

struct LogSpec {
    const char *name;
    const char *serial;
    uint32_t seed;
    bool leak;
    bool readings;  // meter readings in the metadata: night flows in gallons per minute
};

// Two loggers, a leaking household among quiet ones, with and without meter readings.
const LogSpec kLogs[] = {
    {"a/quiet-1.rlog", "1001", 3, false, false}, {"a/leak-1.rlog", "1001", 4, true, true},
    {"b/quiet-2.rlog", "2002", 5, false, true},  {"b/deep/leak-2.rlog", "2002", 6, true, false},
    {"b/quiet-3.rlog", "2002", 7, false, false},
};

class LibraryCommandsTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString library;
    QString logs;

    void SetUp() override
    {
        library = dir.filePath(QStringLiteral("lib/library.sqlite"));
        logs = dir.filePath(QStringLiteral("logs"));
        int n = 0;
        for (const LogSpec &s : kLogs) {
            SimulatedRawLog::Options o;
            o.profile.seed = s.seed;
            o.profile.leak = s.leak;
            o.startMs += int64_t(n++) * 86400000 * 5;
            o.days = 3.5;
            // names a spreadsheet would take for a formula
            o.metaData = {{"Logger Serial", s.serial},
                          {"Logger Device Name", (s.leak ? "=Site " : "@Site ") + QString(s.serial)},
                          {"Logger Job Name", QString(s.name)}};
            if (s.readings)
                o.metaData.insert(
                    {{"Meter Reading Unit", "Gallons"}, {"Meter Reading Start", "100"}, {"Meter Reading End", "1100"}});
            write(s.name, SimulatedRawLog::build(o));
        }
    }

    void write(const QString &name, const QByteArray &bytes)
    {
        const QString path = QDir(logs).filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    Result cli(const QStringList &args) { return runCli(args, {{QStringLiteral("TW_LIBRARY"), library}}); }

    QJsonArray list(const QStringList &extra = {})
    {
        const Result r = cli(QStringList{"library", "list", "--json"} + extra);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out).array();
    }

    QString path(const char *name) const { return QFileInfo(QDir(logs).filePath(name)).absoluteFilePath(); }
};
}  // namespace

TEST_F(LibraryCommandsTest, FiguresMatchLogInfoAndListsPutLeaksFirst)
{
    const Result added = cli({"library", "add", logs, "--json"});
    ASSERT_EQ(added.status, 0) << added.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(added.out).object().value("added").toArray().size(), 5);

    const QJsonArray rows = list();
    ASSERT_EQ(rows.size(), 5);
    bool seenQuiet = false;
    QString previousLast;
    for (const QJsonValue &v : rows) {
        const QJsonObject row = v.toObject();
        ASSERT_EQ(row.value("paths").toArray().size(), 1);
        const QString file = row.value("paths").toArray().first().toString();
        const Result info = cli({"log-info", file, "--json"});
        const QJsonObject o = QJsonDocument::fromJson(info.out).object();
        double minimum = INFINITY;
        for (const QJsonValue &n : o.value("nights").toArray())
            minimum = std::min(minimum, n.toObject().value("minimumNightFlow").toDouble());
        const bool leak = !o.value("leakStretches").toArray().isEmpty();
        SCOPED_TRACE(file.toStdString());
        EXPECT_EQ(row.value("leak").toBool(), leak);
        EXPECT_EQ(leak, file.contains("leak"));  // the household's own leak, nothing else
        EXPECT_DOUBLE_EQ(row.value("nightMinimum").toDouble(), minimum);
        EXPECT_EQ(row.value("nightFlowUnit").toString(), o.value("nightFlowUnit").toString());
        EXPECT_EQ(row.value("firstPulse").toString(), o.value("firstEntry").toString());
        EXPECT_EQ(row.value("lastPulse").toString(), o.value("lastEntry").toString());
        EXPECT_EQ(row.value("pulses").toDouble(), o.value("totalPulses").toDouble());
        EXPECT_EQ(row.value("serial").toString(), o.value("metaData").toObject().value("Logger Serial").toString());
        EXPECT_EQ(row.value("longestFlowHours").toDouble() >= 24, leak);
        // leaks first, then the newest last pulse
        EXPECT_FALSE(leak && seenQuiet);
        if (!leak && seenQuiet) {
            EXPECT_LT(row.value("lastPulse").toString(), previousLast);
        }
        seenQuiet = seenQuiet || !leak;
        previousLast = row.value("lastPulse").toString();
    }

    const QJsonArray leaks = list({"--leaks"});
    ASSERT_EQ(leaks.size(), 2);
    for (const QJsonValue &v : leaks)
        EXPECT_TRUE(v.toObject().value("leak").toBool());
    EXPECT_EQ(list({"--serial", "2002"}).size(), 3);
    // the spreadsheet's table, read back by a CSV reader
    const QString csv = dir.filePath("leaks.csv");
    ASSERT_EQ(cli({"library", "export", "--leaks", "-o", csv}).status, 0);
    QProcess reader;
    reader.start("python3", {"-c",
                             "import csv, sys; rows = list(csv.DictReader(open(sys.argv[1], newline='')));"
                             "print(' '.join(r['sha256'] + '/' + r['leak'] + '/' + r['deviceName'] for r in rows))",
                             csv});
    ASSERT_TRUE(reader.waitForFinished(30000));
    QStringList expected;
    for (const QJsonValue &v : leaks)
        expected << v.toObject().value("sha256").toString() + "/leak/'=Site " + v.toObject().value("serial").toString();
    EXPECT_EQ(QString(reader.readAllStandardOutput()).trimmed(), expected.join(' '));
    // only the first log's days overlap its second day; bounds meet at the first pulse
    const QString firstPulse = rows.last().toObject().value("firstPulse").toString();
    EXPECT_EQ(list({"--to", firstPulse}).size(), 1);
    EXPECT_EQ(list({"--from", "2027-01-01T00:00:00Z"}).size(), 0);
}

TEST_F(LibraryCommandsTest, AddingAgainOrAfterAMoveKeepsOneRowPerContent)
{
    ASSERT_EQ(cli({"library", "add", logs}).status, 0);
    const QJsonArray before = list();

    const Result again = cli({"library", "add", logs, "--json"});
    ASSERT_EQ(again.status, 0);
    const QJsonObject o = QJsonDocument::fromJson(again.out).object();
    EXPECT_EQ(o.value("added").toArray().size(), 0);
    EXPECT_EQ(o.value("skipped").toArray().size(), 5);
    EXPECT_EQ(list(), before);

    // Rows of an older analysis: listing leaves them, the next add analyses them again.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "older");
        db.setDatabaseName(library);
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(QSqlQuery(db).exec("UPDATE logs SET analysis_version = 0, leak = 0, night_minimum = NULL"));
        db.close();
    }
    QSqlDatabase::removeDatabase("older");
    EXPECT_NE(list(), before);
    const Result reanalysed = cli({"library", "add", logs, "--json"});
    EXPECT_EQ(QJsonDocument::fromJson(reanalysed.out).object().value("added").toArray().size(), 5);
    EXPECT_EQ(list(), before);

    ASSERT_TRUE(QDir().rename(path("a/leak-1.rlog"), QDir(logs).filePath("moved.rlog")));
    ASSERT_EQ(cli({"library", "add", QDir(logs).filePath("moved.rlog")}).status, 0);
    const QJsonArray after = list();
    ASSERT_EQ(after.size(), 5);
    for (int i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].toObject().value("sha256"), before[i].toObject().value("sha256"));
        if (after[i].toObject().value("paths") != before[i].toObject().value("paths")) {
            EXPECT_EQ(after[i].toObject().value("paths").toArray(),
                      QJsonArray{QFileInfo(QDir(logs).filePath("moved.rlog")).absoluteFilePath()});
        }
    }
}

TEST_F(LibraryCommandsTest, DamagedFilesAreRefusedWhileTheOthersAreAdded)
{
    QFile good(path("a/quiet-1.rlog"));
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    const QByteArray bytes = good.readAll();
    write("c/truncated.rlog", bytes.left(520 * 3 + 100));
    write("c/empty.rlog", QByteArray());
    write("c/metadata.rlog", bytes.left(520 * 3) + QByteArray::fromHex("bdb42911ffffff00"));
    const Result r = cli({"library", "add", logs, dir.filePath("nothing-here"), "--json"});
    EXPECT_EQ(r.status, 1);
    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(o.value("added").toArray().size(), 5);
    const QJsonArray refused = o.value("refused").toArray();
    ASSERT_EQ(refused.size(), 4);
    for (const QJsonValue &v : refused)
        EXPECT_FALSE(v.toObject().value("reason").toString().isEmpty())
            << v.toObject().value("path").toString().toStdString();
    EXPECT_EQ(list().size(), 5);
}

TEST_F(LibraryCommandsTest, TwoProcessesAddingAtOnceLoseNothing)
{
    // overlapping sets: folder a with all of b, and folder b alone
    QProcess *first = start({"library", "add", logs}, library);
    QProcess *second = start({"library", "add", QDir(logs).filePath("b")}, library);
    const Result one = finishCli(first), two = finishCli(second);
    EXPECT_EQ(one.status, 0) << one.err.toStdString();
    EXPECT_EQ(two.status, 0) << two.err.toStdString();
    const QJsonArray rows = list();
    ASSERT_EQ(rows.size(), 5);
    for (const QJsonValue &v : rows)
        EXPECT_EQ(v.toObject().value("paths").toArray().size(), 1);
}

TEST_F(LibraryCommandsTest, OpenWritesTheStoredBytesAndRemoveForgets)
{
    ASSERT_EQ(cli({"library", "add", logs}).status, 0);
    const QString id = list({"--serial", "1001", "--leaks"}).first().toObject().value("sha256").toString();
    const QString out = dir.filePath("opened.rlog");
    QFile::remove(path("a/leak-1.rlog"));  // the library holds the bytes, not only the path
    EXPECT_EQ(cli({"library", "open", id.left(7), "-o", out}).status, 1);
    ASSERT_EQ(cli({"library", "open", id.left(8), "-o", out}).status, 0);
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex()), id);

    ASSERT_EQ(cli({"library", "remove", id.toUpper().left(10)}).status, 0);
    EXPECT_EQ(cli({"library", "remove", path("b/quiet-2.rlog")}).status, 0);
    EXPECT_EQ(list().size(), 3);
    EXPECT_EQ(cli({"library", "open", id, "-o", out}).status, 1);
}

TEST_F(LibraryCommandsTest, ALibraryFromANewerVersionIsRefused)
{
    ASSERT_EQ(cli({"library", "list"}).status, 0);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(library);
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec(QStringLiteral("UPDATE library_meta SET value = %1 WHERE name = 'schema_version'")
                               .arg(LibrarySchema::kVersion + 1));
        db.close();
    }
    QSqlDatabase::removeDatabase("newer");
    const Result r = cli({"library", "add", logs});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("newer version of the program")) << r.err.toStdString();
    // the option wins over the environment variable
    EXPECT_EQ(cli({"library", "list", "--library", dir.filePath("other.sqlite")}).status, 0);
}
