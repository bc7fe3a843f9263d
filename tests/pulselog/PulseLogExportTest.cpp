#include "MessageCapture.h"
#include "pulselog/LocalTimeFormatter.h"
#include "pulselog/PulseLog.h"
#include "PulseLogTestSupport.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>

void PrintTo(const QJsonArray &array, std::ostream *os)
{
    *os << QJsonDocument(array).toJson(QJsonDocument::Compact).toStdString();
}

void PrintTo(const QStringList &list, std::ostream *os)
{
    *os << "[" << list.join(QStringLiteral("|")).toStdString() << "]";
}

using TestSupport::localDate;
using TestSupport::localNs;
using TestSupport::readFile;

namespace {
constexpr int64_t kSecond = 1000000000;

QStringList lines(const QByteArray &bytes)
{
    // Every line must end in CR LF; the split keeps what follows the last one (nothing).
    QStringList out = QString::fromUtf8(bytes).split(QStringLiteral("\r\n"));
    return out;
}

class ExportTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    PulseLog log;

    QString path(const QString &name) const { return dir.filePath(name); }

    // 2026-06-01 (summer time in Berlin)
    void fill()
    {
        log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 0, 300), 2);
        log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 1), 1);
        log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 15, 700), 5);
        log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 20), 0);
        log.addPulsesNoSignal(localNs(2026, 6, 1, 10, 0, 59, 900), 3);
        log.addEnvironmentReadingNoSignal(localNs(2026, 6, 1, 10, 0, 0), {0.0f, -50.0f});
        log.addEnvironmentReadingNoSignal(localNs(2026, 6, 1, 10, 0, 10), {3.3f, 21.5f});
        log.addEnvironmentReadingNoSignal(localNs(2026, 6, 1, 10, 0, 50), {3.25f, -49.995f});
        log.setMetaData({{"Customer ID", "C-1"},
                         {"Customer Name", "Ann \"Annie\" Lee"},
                         {"Notes", "Leak \"suspected\""},
                         {"Logger Serial", "TW-77"},
                         {"Meter Make", ""},
                         {"Zeta", "z\"q"}});
    }

    QJsonArray csvRows(const QString &file)
    {
        QString error;
        const QJsonDocument doc = TestSupport::readBack("csv", file, &error);
        EXPECT_FALSE(doc.isNull()) << error.toStdString();
        return doc.object().value("rows").toArray();
    }

    static QJsonArray row(std::initializer_list<const char *> cells)
    {
        QJsonArray a;
        for (const char *c : cells)
            a.append(QString::fromUtf8(c));
        return a;
    }
};
}  // namespace

TEST(LocalTimeFormatter, AgreesWithQtAcrossZoneTransitions)
{
    LocalTimeFormatter formatter;
    std::vector<int64_t> times;
    // around the 2026 transitions, then random times over three years, in order and shuffled
    for (int64_t base : {localNs(2026, 3, 29, 1, 0, 0) / 1000000, localNs(2026, 10, 25, 2, 30, 0) / 1000000}) {
        for (int64_t d = -7200000; d <= 7200000; d += 59999)
            times.push_back(base + d);
    }
    QRandomGenerator rng(42);
    for (int i = 0; i < 3000; ++i)
        times.push_back(1735689600000LL + int64_t(rng.bounded(94608000)) * 1000 + rng.bounded(1000));
    for (int64_t ms : times) {
        const QDateTime qt = QDateTime::fromMSecsSinceEpoch(ms);
        char buf[64];
        char *end = formatter.writeIsoDate(buf, ms);
        *end++ = ' ';
        end = formatter.writeIsoTime(end, ms);
        ASSERT_EQ(QString::fromLatin1(buf, int(end - buf)), qt.toString("yyyy-MM-dd HH:mm:ss")) << ms;
        end = formatter.writeUsDateTime(buf, ms);
        ASSERT_EQ(QString::fromLatin1(buf, int(end - buf)), qt.toString("M/d/yyyy h:mm:ss")) << ms;
        ASSERT_EQ(formatter.civil(ms).millisecond, qt.time().msec());
    }
}

TEST_F(ExportTest, MetaDataCsvQuotesEveryField)
{
    fill();
    ASSERT_TRUE(log.exportMetaDataCsv(path("out/meta.csv")));
    const QByteArray bytes = readFile(path("out/meta.csv"));
    EXPECT_TRUE(bytes.startsWith("Name,Value\r\n\"Logger Serial\",\"TW-77\"\r\n"));
    EXPECT_TRUE(bytes.contains("\"Customer Name\",\"Ann \"\"Annie\"\" Lee\"\r\n"));
    const QJsonArray rows = csvRows(path("out/meta.csv"));
    ASSERT_EQ(rows.size(), 1 + 17 + 1);
    EXPECT_EQ(rows[0], row({"Name", "Value"}));
    const QStringList fixed = PulseLog::fixedFieldNames();
    for (int i = 0; i < 17; ++i)
        EXPECT_EQ(rows[i + 1].toArray()[0].toString(), fixed[i]);
    EXPECT_EQ(rows[11], row({"Customer Name", "Ann \"Annie\" Lee"}));
    EXPECT_EQ(rows[17], row({"Notes", "Leak \"suspected\""}));
    EXPECT_EQ(rows[18], row({"Zeta", "z\"q"}));
    EXPECT_EQ(rows[2], row({"Logger Device Name", ""}));
}

TEST_F(ExportTest, PulsesCsvFramesTheRange)
{
    fill();
    ASSERT_TRUE(log.exportPulsesCsv(path("p.csv"), QDateTime(), QDateTime()));
    const QByteArray bytes = readFile(path("p.csv"));
    EXPECT_TRUE(bytes.startsWith("Date,Time,Subseconds,Revolutions\r\n2026-06-01,10:00:00,0.3,2\r\n"));
    EXPECT_EQ(csvRows(path("p.csv")),
              (QJsonArray{row({"Date", "Time", "Subseconds", "Revolutions"}),
                          row({"2026-06-01", "10:00:00", "0.3", "2"}), row({"2026-06-01", "10:00:01", "0.0", "1"}),
                          row({"2026-06-01", "10:00:15", "0.7", "5"}), row({"2026-06-01", "10:00:59", "0.9", "3"})}));

    // a range without pulses still has its two zero rows, identical when it is one instant
    ASSERT_TRUE(log.exportPulsesCsv(path("p.csv"), localDate(2026, 6, 1, 10, 0, 30), localDate(2026, 6, 1, 10, 0, 40)));
    EXPECT_EQ(csvRows(path("p.csv")),
              (QJsonArray{row({"Date", "Time", "Subseconds", "Revolutions"}),
                          row({"2026-06-01", "10:00:30", "0.0", "0"}), row({"2026-06-01", "10:00:40", "0.0", "0"})}));
    ASSERT_TRUE(log.exportPulsesCsv(path("p.csv"), localDate(2026, 6, 1, 10, 0, 30), localDate(2026, 6, 1, 10, 0, 30)));
    EXPECT_EQ(lines(readFile(path("p.csv"))),
              (QStringList{"Date,Time,Subseconds,Revolutions", "2026-06-01,10:00:30,0.0,0", "2026-06-01,10:00:30,0.0,0",
                           ""}));
    // a range ending on a count-0 entry gets the closing zero row; the entry itself is no row
    ASSERT_TRUE(
        log.exportPulsesCsv(path("p.csv"), localDate(2026, 6, 1, 10, 0, 15, 700), localDate(2026, 6, 1, 10, 0, 20)));
    EXPECT_EQ(lines(readFile(path("p.csv"))),
              (QStringList{"Date,Time,Subseconds,Revolutions", "2026-06-01,10:00:15,0.7,5", "2026-06-01,10:00:20,0.0,0",
                           ""}));
}

TEST_F(ExportTest, PulsesCsvUsesLocalTimeAcrossTransitions)
{
    log.addPulsesNoSignal(QDateTime(QDate(2026, 3, 29), QTime(0, 59, 59, 500), Qt::UTC).toMSecsSinceEpoch() * 1000000,
                          1);
    log.addPulsesNoSignal(QDateTime(QDate(2026, 3, 29), QTime(1, 0, 0, 300), Qt::UTC).toMSecsSinceEpoch() * 1000000, 1);
    log.addPulsesNoSignal(QDateTime(QDate(2026, 10, 25), QTime(0, 30, 0), Qt::UTC).toMSecsSinceEpoch() * 1000000, 4);
    log.addPulsesNoSignal(QDateTime(QDate(2026, 10, 25), QTime(1, 30, 0), Qt::UTC).toMSecsSinceEpoch() * 1000000, 6);
    ASSERT_TRUE(log.exportPulsesCsv(path("tz.csv"), QDateTime(), QDateTime()));
    EXPECT_EQ(lines(readFile(path("tz.csv"))),
              (QStringList{"Date,Time,Subseconds,Revolutions", "2026-03-29,01:59:59,0.5,1", "2026-03-29,03:00:00,0.3,1",
                           "2026-10-25,02:30:00,0.0,4", "2026-10-25,02:30:00,0.0,6", ""}));
}

TEST_F(ExportTest, LargePulsesCsvKeepsEveryRow)
{
    const int64_t t0 = localNs(2026, 1, 5, 0, 0, 0);
    int64_t total = 0;
    for (int i = 0; i < 60000; ++i) {
        log.addPulsesNoSignal(t0 + int64_t(i) * 7 * kSecond / 10, uint32_t(i % 13 + 1));
        total += i % 13 + 1;
    }
    ASSERT_TRUE(log.exportPulsesCsv(path("big.csv"), QDateTime(), QDateTime()));
    const QJsonArray rows = csvRows(path("big.csv"));
    ASSERT_EQ(rows.size(), 60001);
    int64_t sum = 0;
    for (int i = 1; i < rows.size(); ++i)
        sum += rows[i].toArray()[3].toString().toLongLong();
    EXPECT_EQ(sum, total);
    // entry 59999 lies 41999.3 s after midnight: 11:39:59.3 local, 59999 % 13 + 1 pulses
    EXPECT_EQ(rows[60000].toArray(), row({"2026-01-05", "11:39:59", "0.3", "5"}));
}

TEST_F(ExportTest, EnvironmentCsvSkipsBlocksWithoutReadings)
{
    fill();
    // -49.995 is stored as a float (-49.99499893...), hence -49.994999 with six decimals
    ASSERT_TRUE(log.exportEnvironmentCsv(path("e.csv"), QDateTime(), QDateTime()));
    const QByteArray bytes = readFile(path("e.csv"));
    EXPECT_TRUE(bytes.startsWith("Date,Time,Input Voltage,Temperature \xC2\xB0"
                                 "C\r\n"));
    EXPECT_EQ(csvRows(path("e.csv")), (QJsonArray{row({"Date", "Time", "Input Voltage",
                                                       "Temperature \xC2\xB0"
                                                       "C"}),
                                                  row({"2026-06-01", "10:00:10", "3.300000", "21.500000"}),
                                                  row({"2026-06-01", "10:00:50", "3.250000", "-49.994999"})}));
}

TEST_F(ExportTest, GroupedCsvKeepsTheFinalPulses)
{
    fill();
    ASSERT_TRUE(log.exportGroupedCsv(path("g.csv"), 10000, "Gallons", 0.5, 0, 0, QDateTime(), QDateTime()));
    EXPECT_EQ(
        csvRows(path("g.csv")),
        (QJsonArray{row({"Date", "Time", "Revolutions", "Gallons"}), row({"2026-06-01", "10:00:00", "3", "1.500000"}),
                    row({"2026-06-01", "10:00:10", "5", "2.500000"}), row({"2026-06-01", "10:00:20", "0", "0.000000"}),
                    row({"2026-06-01", "10:00:30", "0", "0.000000"}), row({"2026-06-01", "10:00:40", "0", "0.000000"}),
                    row({"2026-06-01", "10:00:50", "3", "1.500000"})}));
    // a range the caller ends exactly on the last entry leaves it out
    ASSERT_TRUE(log.exportGroupedCsv(path("g.csv"), 30000, "L", 1, 0, 0, localDate(2026, 6, 1, 10, 0, 0),
                                     localDate(2026, 6, 1, 10, 0, 59, 900)));
    EXPECT_EQ(lines(readFile(path("g.csv"))), (QStringList{"Date,Time,Revolutions,L", "2026-06-01,10:00:00,8,8.000000",
                                                           "2026-06-01,10:00:30,0,0.000000", ""}));

    // nothing to group: false, and an existing file stays as it was
    PulseLog empty;
    EXPECT_FALSE(empty.exportGroupedCsv(path("g.csv"), 10000, "L", 1, 0, 0, QDateTime(), QDateTime()));
    EXPECT_FALSE(log.exportGroupedCsv(path("g.csv"), 0, "L", 1, 0, 0, QDateTime(), QDateTime()));
    EXPECT_TRUE(readFile(path("g.csv")).startsWith("Date,Time,Revolutions,L\r\n"));
    EXPECT_FALSE(empty.exportGroupedCsv(path("none.csv"), 10000, "L", 1, 0, 0, QDateTime(), QDateTime()));
    EXPECT_FALSE(QFile::exists(path("none.csv")));
}

TEST_F(ExportTest, MM100LineByLine)
{
    fill();
    ASSERT_TRUE(log.exportMM100(path("m.txt"), 10000, "Gallons", 0.5, 1000, 1100, QDateTime(), QDateTime()));
    const QStringList expected = {
        "MM100 Data Export,V4.5.0.174",
        ",",
        "CustomerID,\"C-1\"",
        "CustomerName,\"Ann 'Annie' Lee\"",
        "Address,",
        "City,",
        "State,",
        "PostalCode,",
        "PhoneNumber,",
        "Note,\"Leak 'suspected' {'Logger Serial':'TW-77','Zeta':'z'q'}\"",
        ",",
        "Make,",
        "Model,",
        "Size,",
        "Unit,Gallons",
        "StorageInterval,10",
        "NumberOfIntervals,6",
        "TotalTime,",
        "BeginReading,\"1000\"",
        "EndReading,\"1100\"",
        "RegVolume,100",
        "MMVolume,5.5",
        "ConvFactor,1",
        ",",
        "DateTimeStamp,RateData",
        "6/1/2026 10:00:00,9.00000",
        "6/1/2026 10:00:10,15.00000",
        "6/1/2026 10:00:20,0.00000",
        "6/1/2026 10:00:30,0.00000",
        "6/1/2026 10:00:40,0.00000",
        "6/1/2026 10:00:50,9.00000",
        "",
    };
    const QStringList got = lines(readFile(path("m.txt")));
    ASSERT_EQ(got.size(), expected.size()) << got.join('|').toStdString();
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_EQ(got[i], expected[i]) << "line " << i + 1;
}

TEST_F(ExportTest, MM100InterpolatesReadingsAndNotes)
{
    fill();
    log.setMetaData({{"Meter Size", "5/8\""}});
    // 10:00:10.0 to 10:00:40.0 of a log from 10:00:00.3 to 10:00:59.9 (59.6 s):
    // 1000 + 100 * 9.7 / 59.6 = 1016.3 and + 100 * 30 / 59.6 = 1066.6
    ASSERT_TRUE(log.exportMM100(path("m.txt"), 900000, "Liters", 2, 1000, 1100, localDate(2026, 6, 1, 10, 0, 10),
                                localDate(2026, 6, 1, 10, 0, 40)));
    const QStringList got = lines(readFile(path("m.txt")));
    ASSERT_GE(got.size(), 26);
    EXPECT_EQ(got[9], "Note,");
    EXPECT_EQ(got[13], "Size,\"5/8'\"");
    EXPECT_EQ(got[15], "StorageInterval,900");
    EXPECT_EQ(got[16], "NumberOfIntervals,1");
    EXPECT_EQ(got[18], "BeginReading,\"1016\"");
    EXPECT_EQ(got[19], "EndReading,\"1067\"");
    EXPECT_EQ(got[20], "RegVolume,51");
    EXPECT_EQ(got[21], "MMVolume,10");                // 5 pulses in [10 s, 40 s) at 2 liters
    EXPECT_EQ(got[25], "6/1/2026 10:00:00,0.66667");  // bin of 15 minutes from 10:00

    EXPECT_FALSE(log.exportMM100(path("zero.txt"), 0, "L", 1, 0, 0, QDateTime(), QDateTime()));
    EXPECT_FALSE(QFile::exists(path("zero.txt")));
}

TEST_F(ExportTest, XlsxWorkbookReadsBack)
{
    fill();
    ASSERT_TRUE(log.exportXLSX(path("w/book.xlsx"), 10000, "Gallons", 0.5, 1000, 1100, QDateTime(), QDateTime()));
    QString error;
    const QJsonDocument doc = TestSupport::readBack("xlsx", path("w/book.xlsx"), &error);
    ASSERT_FALSE(doc.isNull()) << error.toStdString();
    const QJsonArray sheets = doc.object().value("sheets").toArray();
    ASSERT_EQ(sheets.size(), 4);
    const QStringList names = {"MetaData", "Grouped Intervals", "Raw Revolution Data", "Environment Data"};
    for (int i = 0; i < 4; ++i) {
        const QJsonObject s = sheets[i].toObject();
        EXPECT_EQ(s.value("name").toString(), names[i]);
        EXPECT_EQ(s.value("freeze").toString(), "A2") << names[i].toStdString();
        EXPECT_TRUE(s.value("boldHeader").toBool()) << names[i].toStdString();
    }
    auto rows = [&](int i) { return sheets[i].toObject().value("rows").toArray(); };
    auto formats = [&](int i) { return sheets[i].toObject().value("formats").toArray(); };
    auto width = [&](int i, const char *col) {
        return sheets[i].toObject().value("widths").toObject().value(col).toDouble();
    };

    const QJsonArray meta = rows(0);
    ASSERT_EQ(meta.size(), 1 + 17 + 1);
    EXPECT_EQ(meta[0], (QJsonArray{"Name", "Value"}));
    EXPECT_EQ(meta[1], (QJsonArray{"Logger Serial", "TW-77"}));
    EXPECT_EQ(meta[7], (QJsonArray{"Meter Reading Unit", "Gallons"}));
    EXPECT_EQ(meta[8], (QJsonArray{"Meter Reading Start", 1000}));
    EXPECT_EQ(meta[9], (QJsonArray{"Meter Reading End", 1100}));
    EXPECT_EQ(meta[18], (QJsonArray{"Zeta", "z\"q"}));
    EXPECT_NEAR(width(0, "A"), 24, 1);
    EXPECT_NEAR(width(0, "B"), 48, 1);

    const QJsonArray grouped = rows(1);
    ASSERT_EQ(grouped.size(), 7);
    EXPECT_EQ(grouped[0], (QJsonArray{"Date Time", "Revolutions", "Rate (Gallons / Min)", "Volume (Gallons)"}));
    EXPECT_EQ(grouped[1], (QJsonArray{"2026-06-01T10:00:00.000", 3, 9, 1.5}));
    EXPECT_EQ(grouped[6], (QJsonArray{"2026-06-01T10:00:50.000", 3, 9, 1.5}));
    EXPECT_EQ(formats(1)[1].toArray()[0].toString(), "yyyy-mm-dd hh:mm:ss");
    EXPECT_NEAR(width(1, "A"), 20, 1);
    EXPECT_NEAR(width(1, "C"), 22, 1);

    const QJsonArray raw = rows(2);
    ASSERT_EQ(raw.size(), 5);
    EXPECT_EQ(raw[0], (QJsonArray{"Date Time", "Revolutions"}));
    EXPECT_EQ(raw[1], (QJsonArray{"2026-06-01T10:00:00.300", 2}));
    EXPECT_EQ(raw[3], (QJsonArray{"2026-06-01T10:00:15.700", 5}));
    EXPECT_EQ(raw[4], (QJsonArray{"2026-06-01T10:00:59.900", 3}));
    EXPECT_EQ(formats(2)[1].toArray()[0].toString(), "yyyy-mm-dd hh:mm:ss.0");
    EXPECT_NEAR(width(2, "A"), 24, 1);

    const QJsonArray env = rows(3);
    ASSERT_EQ(env.size(), 3);
    EXPECT_EQ(env[0], (QJsonArray{"Date Time",
                                  "Temperature \xC2\xB0"
                                  "C",
                                  "Input Voltage"}));
    EXPECT_EQ(env[1].toArray()[0].toString(), "2026-06-01T10:00:10.000");
    EXPECT_DOUBLE_EQ(env[1].toArray()[1].toDouble(), 21.5);
    EXPECT_NEAR(env[1].toArray()[2].toDouble(), 3.3, 1e-6);

    EXPECT_FALSE(log.exportXLSX(path("zero.xlsx"), 0, "L", 1, 0, 0, QDateTime(), QDateTime()));
    EXPECT_FALSE(QFile::exists(path("zero.xlsx")));
}

TEST_F(ExportTest, FailedExportsLeaveExistingFilesIntact)
{
    fill();
    for (int i = 0; i < 4000; ++i)
        log.addPulsesNoSignal(localNs(2026, 6, 2, 0, 0, 0) + int64_t(i) * kSecond, 1);
    struct Case {
        QString name;
        std::function<bool(const QString &)> run;
    };
    const std::vector<Case> cases = {
        {"pulses.csv", [&](const QString &f) { return log.exportPulsesCsv(f, QDateTime(), QDateTime()); }},
        {"grouped.csv",
         [&](const QString &f) { return log.exportGroupedCsv(f, 1000, "L", 1, 0, 0, QDateTime(), QDateTime()); }},
        {"mm100.txt",
         [&](const QString &f) { return log.exportMM100(f, 1000, "L", 1, 0, 0, QDateTime(), QDateTime()); }},
        {"book.xlsx",
         [&](const QString &f) { return log.exportXLSX(f, 1000, "L", 1, 0, 0, QDateTime(), QDateTime()); }},
    };
    QStringList names;
    for (const Case &c : cases) {
        names << c.name;
        TestSupport::writeFile(path(c.name), "previous contents");
        MessageCapture messages;
        TestSupport::limitFileSize(16384);
        const bool ok = c.run(path(c.name));
        TestSupport::limitFileSize(0);
        EXPECT_FALSE(ok) << c.name.toStdString() << " " << readFile(path(c.name)).size();
        EXPECT_EQ(readFile(path(c.name)), QByteArray("previous contents")) << c.name.toStdString();
        EXPECT_FALSE(messages.messages().isEmpty()) << c.name.toStdString();
        EXPECT_EQ(TestSupport::strayFiles(dir.path(), names), QStringList()) << c.name.toStdString();
        // with room again the same export succeeds and replaces the file
        EXPECT_TRUE(c.run(path(c.name))) << c.name.toStdString();
        EXPECT_GT(readFile(path(c.name)).size(), 16384) << c.name.toStdString();
    }

    MessageCapture messages;
    TestSupport::writeFile(path("plain"), "x");
    EXPECT_FALSE(log.exportMetaDataCsv(path("plain/meta.csv")));
    EXPECT_TRUE(messages.containsInOrder({"Failed to open", "meta.csv", "for output"}));
    EXPECT_FALSE(log.exportEnvironmentCsv(path("plain/env.csv"), QDateTime(), QDateTime()));
    EXPECT_FALSE(log.exportXLSX(path("plain/w.xlsx"), 1000, "L", 1, 0, 0, QDateTime(), QDateTime()));
}

// The user's locale may write a decimal comma (printf, QLocale) and read one (strtod); the
// exports must not notice it. Here the whole process runs German while it writes.
TEST_F(ExportTest, EveryExportIgnoresTheProcessLocale)
{
    fill();
    log.addEnvironmentReadingNoSignal(localNs(2026, 6, 1, 10, 0, 30), {3.1234567f, 18.0625f});
    auto writeAll = [&](const QString &sub) {
        const QString d = path(sub) + QLatin1Char('/');
        EXPECT_TRUE(log.exportMetaDataCsv(d + "meta.csv"));
        EXPECT_TRUE(log.exportPulsesCsv(d + "pulses.csv", QDateTime(), QDateTime()));
        EXPECT_TRUE(log.exportEnvironmentCsv(d + "env.csv", QDateTime(), QDateTime()));
        EXPECT_TRUE(log.exportGroupedCsv(d + "grouped.csv", 7000, "m3", 0.37, 10.5, 12.25, QDateTime(), QDateTime()));
        EXPECT_TRUE(log.exportMM100(d + "mm100.txt", 7000, "m3", 0.37, 10.5, 12.25, QDateTime(), QDateTime()));
        EXPECT_TRUE(log.exportXLSX(d + "book.xlsx", 7000, "m3", 0.37, 10.5, 12.25, QDateTime(), QDateTime()));
        EXPECT_TRUE(log.saveRaw(d + "log.rlog"));
    };
    writeAll("c");

    const std::string savedC = std::setlocale(LC_ALL, nullptr);
    const QLocale savedQt;
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the de_DE.UTF-8 locale is missing: run scripts/setup-deps";
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5");  // the locale really is in force
    writeAll("de");
    QLocale::setDefault(savedQt);
    std::setlocale(LC_ALL, savedC.c_str());

    for (const char *name : {"meta.csv", "pulses.csv", "env.csv", "grouped.csv", "mm100.txt", "log.rlog"})
        EXPECT_EQ(readFile(path("de/") + name).toStdString(), readFile(path("c/") + name).toStdString()) << name;
    EXPECT_TRUE(TestSupport::sameWorkbookParts(path("c/book.xlsx"), path("de/book.xlsx")));
    EXPECT_TRUE(readFile(path("c/env.csv")).contains(",3.123457,18.062500\r\n"));
}
