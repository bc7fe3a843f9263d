#include "CliRun.h"
#include "PulseBlockBuilder.h"
#include "pulselog/PulseLog.h"
#include "PulseLogTestSupport.h"
#include "sim/SimulatedRawLog.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <algorithm>

using TestSupport::readFile;

namespace {
constexpr uint64_t kBase = 17803200000ull;  // 2026-06-01 13:20:00 UTC in tenths

struct Result {
    int status = -1;
    QString out;
    QString err;
};

// `locale` empty: the test's own environment; otherwise LC_ALL and LANG name it. `tz` likewise.
Result cli(const QStringList &args, const QString &locale = QString(), const QString &tz = QString())
{
    QMap<QString, QString> env;
    if (!locale.isEmpty())
        env = {{QStringLiteral("LC_ALL"), locale}, {QStringLiteral("LANG"), locale}};
    if (!tz.isEmpty())
        env.insert(QStringLiteral("TZ"), tz);
    const CliResult r = runCli(args, env, 60000);
    return {r.status, QString::fromUtf8(r.out), r.err};
}

class LogCommandsTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString rlog;

    void SetUp() override
    {
        PulseLog log;
        // blocks 100 s apart: 2 pulses at base, 1 at +0.3 s; the second block 4 pulses;
        // the last block one pulse at its base time, with the lowest voltage
        auto block = [](uint64_t base, std::initializer_list<uint32_t> pulses, uint16_t mv) {
            PulseBlockBuilder b;
            b.baseTenths = base;
            b.millivolts = mv;
            b.temperatureCode = 22937;
            for (uint32_t v : pulses)
                b.pulse(v);
            return b.build();
        };
        log.appendRawDataNoSignal(block(kBase, {0, 0, 3}, 3400));
        log.appendRawDataNoSignal(block(kBase + 1000, {0, 0, 0, 0}, 3300));
        log.appendRawDataNoSignal(block(kBase + 2000, {0}, 3100));
        log.setMetaData({{"Customer Name", "Ann"}, {"Notes", "n"}});
        rlog = dir.filePath("in.rlog");
        ASSERT_TRUE(log.saveRaw(rlog));
    }
};
}  // namespace

TEST_F(LogCommandsTest, InfoInTextAndJson)
{
    Result r = cli({"log-info", rlog, "--json"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_EQ(o.value("entryCount").toInt(), 4);
    EXPECT_EQ(o.value("totalPulses").toInt(), 8);
    EXPECT_EQ(o.value("readingCount").toInt(), 3);
    EXPECT_EQ(o.value("firstEntry").toString(), "2026-06-01T15:20:00.000+02:00");
    EXPECT_EQ(o.value("lastEntry").toString(), "2026-06-01T15:23:20.000+02:00");
    EXPECT_NEAR(o.value("minimumVoltage").toDouble(), 3.1, 1e-6);
    EXPECT_NEAR(o.value("maximumVoltage").toDouble(), 3.4, 1e-6);
    EXPECT_NEAR(o.value("maximumTemperatureCelsiusDegrees").toDouble(), 20.0, 0.01);
    EXPECT_EQ(o.value("metaData").toObject().value("Customer Name").toString(), "Ann");

    r = cli({"log-info", rlog});
    ASSERT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.contains("entries: 4\n"));
    EXPECT_TRUE(r.out.contains("total pulses: 8\n"));
    EXPECT_TRUE(r.out.contains("  Customer Name: Ann\n"));
}

TEST_F(LogCommandsTest, BinsMatchTheModel)
{
    Result r = cli({"log-bins", rlog, "--interval-ms", "60000"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    // 15:20:00 (3), 15:21:40 (4), 15:23:20 (1): the last pulse counts in the whole-log range
    EXPECT_EQ(r.out, "3\n4\n0\n1\n");
    r = cli(
        {"log-bins", rlog, "--interval-ms", "60000", "--from", "2026-06-01T15:21:00", "--to", "2026-06-01T13:23:20Z"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "4\n0\n0\n");  // the range ends exactly on the last entry
}

TEST_F(LogCommandsTest, ExportEveryFormat)
{
    const QStringList formats = {"meta", "pulses", "environment", "grouped", "mm100", "xlsx", "rlog"};
    for (const QString &format : formats) {
        const QString out = dir.filePath("out/" + format);
        Result r = cli({"log-export", rlog, "--format", format, "-o", out, "--interval-s", "60", "--unit", "Liters",
                        "--units-per-pulse", "2", "--initial-reading", "10", "--end-reading", "20"});
        ASSERT_EQ(r.status, 0) << format.toStdString() << ": " << r.err.toStdString();
        EXPECT_FALSE(readFile(out).isEmpty()) << format.toStdString();
    }
    EXPECT_TRUE(readFile(dir.filePath("out/grouped"))
                    .startsWith("Date,Time,Revolutions,Liters\r\n2026-06-01,15:20:00,3,6.000000\r\n"));
    EXPECT_EQ(readFile(dir.filePath("out/rlog")), readFile(rlog));
    const QString mm100 = QString::fromUtf8(readFile(dir.filePath("out/mm100")));
    EXPECT_TRUE(mm100.contains("StorageInterval,60\r\nNumberOfIntervals,4\r\n"));
    EXPECT_TRUE(mm100.contains("BeginReading,\"10\"\r\nEndReading,\"20\"\r\n"));
    EXPECT_TRUE(mm100.contains("MMVolume,16\r\n"));

    // defaults: 10 s bins, Gallons
    Result r = cli({"log-export", rlog, "--format", "grouped", "-o", dir.filePath("d.csv"), "--from",
                    "2026-06-01T15:20:00", "--to", "2026-06-01T15:20:30"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(readFile(dir.filePath("d.csv")),
              "Date,Time,Revolutions,Gallons\r\n2026-06-01,15:20:00,3,3.000000\r\n2026-06-01,15:20:10,0,0.000000\r\n"
              "2026-06-01,15:20:20,0,0.000000\r\n2026-06-01,15:20:30,0,0.000000\r\n");
}

TEST_F(LogCommandsTest, FailuresExitWithOneLine)
{
    TestSupport::writeFile(dir.filePath("plain"), "x");
    const std::vector<QStringList> bad = {
        {"log-info"},
        {"log-info", dir.filePath("missing.rlog")},
        {"log-info", rlog, "--bogus"},
        {"log-export", rlog, "--format", "pdf", "-o", dir.filePath("x")},
        {"log-export", rlog, "--format", "pulses"},
        {"log-export", rlog, "--format", "pulses", "-o", dir.filePath("plain/x.csv")},
        {"log-export", rlog, "--format", "grouped", "-o", dir.filePath("y"), "--interval-s", "0"},
        {"log-export", rlog, "--format", "pulses", "-o", dir.filePath("y"), "--from", "yesterday"},
        {"log-bins", rlog},
        {"log-bins", rlog, "--interval-ms", "-5"},
        {"log-uses", rlog},
        {"log-uses", rlog, "--units-per-pulse", "0"},
        {"log-uses", rlog, "--units-per-pulse", "1", "--unit", "Barrels"},
        {"log-uses", rlog, "--units-per-pulse", "1", "--from", "2030-01-01T00:00:00Z"},
        {"log-uses", rlog, "--units-per-pulse", "1", "--csv", dir.filePath("plain/uses.csv")},
    };
    for (const QStringList &args : bad) {
        const Result r = cli(args);
        EXPECT_EQ(r.status, 1) << args.join(' ').toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("tarrowind-cli: ")) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    const Result r = cli({"log-export", rlog, "--format", "pulses", "-o", dir.filePath("plain/x.csv")});
    EXPECT_TRUE(r.err.contains("Failed to open")) << r.err.toStdString();
    EXPECT_EQ(cli({"log-uses", rlog}).err, "tarrowind-cli: This log has no meter readings: give the volume per pulse "
                                           "with --units-per-pulse\n");

    // Logs too thin to hold a use: nothing at all, one pulse; and a period past the log.
    PulseLog empty, single;
    PulseBlockBuilder one;
    one.baseTenths = kBase;
    one.pulse(0);
    single.appendRawDataNoSignal(one.build());
    ASSERT_TRUE(empty.saveRaw(dir.filePath("empty.rlog")) && single.saveRaw(dir.filePath("single.rlog")));
    const Result none = cli({"log-uses", dir.filePath("empty.rlog"), "--units-per-pulse", "1"});
    EXPECT_TRUE(none.err.contains("holds no pulses")) << none.err.toStdString();
    for (const QStringList &thin :
         {QStringList{dir.filePath("single.rlog")}, QStringList{rlog, "--from", "2030-01-01T00:00:00Z"}}) {
        const Result r = cli(QStringList{"log-uses"} + thin + QStringList{"--units-per-pulse", "1"});
        EXPECT_TRUE(r.err.contains("too few to tell uses apart")) << r.err.toStdString();
    }
}

// A German desktop writes numbers with a decimal comma; nothing the command line writes may
// follow it. Every export, the saved raw log and the JSON must equal the C locale's bytes.
TEST_F(LogCommandsTest, EveryFileIsTheSameUnderAGermanLocale)
{
    const QStringList formats = {"meta", "pulses", "environment", "grouped", "mm100", "xlsx", "rlog"};
    QMap<QString, QByteArray> json;
    for (const QString locale : {"C", "de_DE.UTF-8"}) {
        for (const QString &format : formats) {
            const QString out = dir.filePath(locale + "/" + format);
            const Result r =
                cli({"log-export", rlog, "--format", format, "-o", out, "--interval-s", "45", "--unit", "m3",
                     "--units-per-pulse", "0.125", "--initial-reading", "10.5", "--end-reading", "20.25"},
                    locale);
            ASSERT_EQ(r.status, 0) << locale.toStdString() << " " << format.toStdString() << ": "
                                   << r.err.toStdString();
        }
        const Result info = cli({"log-info", rlog, "--json"}, locale);
        ASSERT_EQ(info.status, 0) << info.err.toStdString();
        json[locale] = info.out.toUtf8();
    }
    for (const QString &format : formats) {
        const QString c = dir.filePath("C/" + format);
        const QString german = dir.filePath("de_DE.UTF-8/" + format);
        if (format == "xlsx")
            EXPECT_TRUE(TestSupport::sameWorkbookParts(c, german));
        else
            EXPECT_EQ(readFile(german).toStdString(), readFile(c).toStdString()) << format.toStdString();
    }
    EXPECT_EQ(json["de_DE.UTF-8"].toStdString(), json["C"].toStdString());
    // The comparison means something only with fractions in the files.
    EXPECT_TRUE(readFile(dir.filePath("C/environment")).contains(",3.400000,"));
    EXPECT_TRUE(readFile(dir.filePath("C/grouped")).contains(",0.375000\r\n"));
}

TEST(LogCommandsNightFlow, NightsAndLeaksInVolumeOrRevolutions)
{
    // One pulse every 10 minutes from 22:00 (local) for 30 hours: a steady leak of 6 pulses an
    // hour, recorded up to 03:50 of the second morning.
    QTemporaryDir dir;
    PulseLog log;
    const uint64_t start = kBase + 240000;  // 2026-06-01 22:00 +02:00
    for (uint64_t i = 0; i < 180; ++i) {
        PulseBlockBuilder b;
        b.baseTenths = start + i * 6000;
        b.pulse(0);
        log.appendRawDataNoSignal(b.build());
    }
    const QString plain = dir.filePath("plain.rlog"), litres = dir.filePath("litres.rlog");
    ASSERT_TRUE(log.saveRaw(plain));
    // 180 litres over 180 pulses: a litre a pulse
    log.setMetaData({{"Meter Reading Unit", "Liters"}, {"Meter Reading Start", "20"}, {"Meter Reading End", "200"}});
    ASSERT_TRUE(log.saveRaw(litres));

    for (const QString &file : {plain, litres}) {
        const bool volume = file == litres;
        SCOPED_TRACE(volume);
        Result r = cli({"log-info", file, "--json"});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        EXPECT_EQ(o.value("nightFlowUnit").toString(), volume ? "Gallons per Minute" : "Revolutions per Hour");
        const QJsonArray nights = o.value("nights").toArray();
        ASSERT_EQ(nights.size(), 1);  // the second night is cut at 03:50
        const QJsonObject night = nights[0].toObject();
        EXPECT_EQ(night.value("night").toString(), "2026-06-02");
        EXPECT_EQ(night.value("minimumHourlyPulses").toInt(), 6);
        EXPECT_NEAR(night.value("minimumNightFlow").toDouble(), volume ? 6 * 0.2641720524 / 60 : 6.0, 1e-9);
        EXPECT_EQ(night.value("minimumHour").toString(), "2026-06-02T00:00:00.000+02:00");
        EXPECT_TRUE(night.value("leak").toBool());
        const QJsonArray leaks = o.value("leakStretches").toArray();
        ASSERT_EQ(leaks.size(), 1);
        EXPECT_EQ(leaks[0].toObject().value("start").toString(), "2026-06-01T22:00:00.000+02:00");
        EXPECT_EQ(leaks[0].toObject().value("end").toString(), "2026-06-03T03:00:00.000+02:00");

        r = cli({"log-info", file});
        ASSERT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.contains(volume ? "nights:\n  2026-06-02: 0.0264 at 00:00, leak\n"
                                          : "nights:\n  2026-06-02: 6 at 00:00, leak\n"))
            << r.out.toStdString();
        EXPECT_TRUE(r.out.contains("leak stretches:\n  2026-06-01T22:00:00.000+02:00 to "
                                   "2026-06-03T03:00:00.000+02:00 (29 hours)\n"));
    }
}

namespace {
// The text layer of a PDF as a reader gets it (pdftotext, in reading order).
QString pdfText(const QString &pdf)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
    return p.waitForFinished(60000) && p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : QString();
}

// The pages rendered at a small size; the share of each that is not paper white.
std::vector<double> inkedShares(const QString &pdf, const QString &prefix)
{
    QProcess p;
    p.start(QStringLiteral("pdftoppm"),
            {QStringLiteral("-r"), QStringLiteral("30"), QStringLiteral("-png"), pdf, prefix});
    std::vector<double> shares;
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return shares;
    for (int page = 1; QFile::exists(QStringLiteral("%1-%2.png").arg(prefix).arg(page)); ++page) {
        const QImage image(QStringLiteral("%1-%2.png").arg(prefix).arg(page));
        int inked = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                inked += image.pixel(x, y) != qRgb(255, 255, 255);
        shares.push_back(double(inked) / double(image.width() * image.height()));
    }
    return shares;
}

// A closed session of the virtual logger's household, with the site's metadata added.
QString householdLog(const QTemporaryDir &dir, bool leak)
{
    const QString truth = dir.filePath(leak ? "leak-truth" : "quiet-truth");
    QProcess sim;
    QStringList args{"--sessions", "1", "--seed", "5", "--write-ground-truth", truth};
    if (leak)
        args << "--leak";
    sim.start(qEnvironmentVariable("TW_BIN_DIR") + "/tarrowind-sim", args);
    // The ground truth is written before the pty's path is printed.
    if (!sim.waitForReadyRead(60000))
        return QString();
    sim.terminate();
    sim.waitForFinished(30000);
    PulseLog log;
    if (!log.load(truth + "/session-1.rlog") || log.entries().empty())
        return QString();
    log.setMetaData({{"Logger Serial", "TW-0042-7781"},
                     {"Logger Job Name", "Hillcrest 12"},
                     {"Meter Reading Unit", "Liters"},
                     {"Meter Reading Start", "1000"},
                     {"Meter Reading End", QString::number(1000 + 0.025 * double(log.totalPulseCount()), 'f', 3)}});
    const QString out = dir.filePath(leak ? "leak.rlog" : "quiet.rlog");
    return log.saveRaw(out) ? out : QString();
}
}  // namespace

// The report of the virtual household against log-info on the same file: the same pulses,
// night minima and leak stretches, and the page's text holds what --json says it shows.
TEST(LogCommandsReport, HouseholdFiguresAgreeWithLogInfo)
{
    QTemporaryDir dir;
    for (const bool leak : {false, true}) {
        SCOPED_TRACE(leak);
        const QString rlog = householdLog(dir, leak);
        ASSERT_FALSE(rlog.isEmpty());
        const QString pdf = dir.filePath(leak ? "leak.pdf" : "quiet.pdf");
        Result r = cli({"report", rlog, "-o", pdf, "--json"});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QJsonObject report = QJsonDocument::fromJson(r.out.toUtf8()).object();
        r = cli({"log-info", rlog, "--json"});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QJsonObject info = QJsonDocument::fromJson(r.out.toUtf8()).object();

        EXPECT_EQ(report.value("totalPulses").toDouble(), info.value("totalPulses").toDouble());
        EXPECT_EQ(report.value("periodStart").toString(), info.value("firstEntry").toString());
        EXPECT_EQ(report.value("leakStretches").toArray(), info.value("leakStretches").toArray());
        EXPECT_EQ(report.value("unit").toString(), "Liters");
        EXPECT_NEAR(report.value("total").toDouble(), 0.025 * report.value("totalPulses").toDouble(), 1e-6);

        // Its uses: the same period and water, every use's key, events that add up to the total
        // and the CSV a CSV reader gets back.
        const QString csv = dir.filePath(leak ? "leak-uses.csv" : "quiet-uses.csv");
        r = cli({"log-uses", rlog, "--json", "--csv", csv});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QJsonObject uses = QJsonDocument::fromJson(r.out.toUtf8()).object();
        EXPECT_EQ(uses.value("unit").toString(), "Liters");
        EXPECT_NEAR(uses.value("days").toDouble(), report.value("days").toDouble(), 1e-9);
        const double total = uses.value("total").toDouble();
        EXPECT_NEAR(total, report.value("total").toDouble(), 1e-6 * total);
        const QStringList keys = {"toilet",  "shower",     "faucet", "clothesWasher", "dishwasher",
                                  "bathtub", "irrigation", "leak",   "other"};
        EXPECT_EQ(uses.value("uses").toObject().keys().size(), keys.size());
        double byUse = 0, byEvent = 0;
        for (const QString &key : keys)
            byUse += uses.value("uses").toObject().value(key).toObject().value("volume").toDouble(-1e9);
        const QJsonArray events = uses.value("events").toArray();
        for (const QJsonValue &e : events) {
            byEvent += e.toObject().value("volume").toDouble();
            EXPECT_TRUE(keys.contains(e.toObject().value("use").toString()));
            EXPECT_TRUE(e.toObject().value("start").toString().endsWith('Z'));
        }
        EXPECT_NEAR(byUse, total, 0.01 * total);
        EXPECT_NEAR(byEvent, total, 0.01 * total);
        EXPECT_GT(uses.value("uses").toObject().value(leak ? "leak" : "toilet").toObject().value("events").toInt(), 0);
        QString error;
        const QJsonArray rows = TestSupport::readBack("csv", csv, &error).object().value("rows").toArray();
        ASSERT_EQ(rows.size(), events.size() + 1) << error.toStdString();
        EXPECT_EQ(rows[1].toArray()[2].toString(), events[0].toObject().value("use").toString());
        r = cli({"log-uses", rlog, "--unit", "Gallons"});
        ASSERT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.contains("Gallons")) << r.out.toStdString();
        // The household's session starts and ends within a day: neither end day is complete.
        const QString highest = report.value("highestDay").toObject().value("date").toString();
        EXPECT_GT(highest, report.value("periodStart").toString().left(10));
        EXPECT_LT(highest, report.value("periodEnd").toString().left(10));
        const QJsonArray nights = info.value("nights").toArray();
        ASSERT_FALSE(nights.isEmpty());
        QJsonObject lowest = nights[0].toObject();
        for (const auto &n : nights) {
            if (n.toObject().value("minimumHourlyPulses").toDouble() < lowest.value("minimumHourlyPulses").toDouble())
                lowest = n.toObject();
        }
        const QJsonObject night = report.value("lowestNightHour").toObject();
        EXPECT_EQ(night.value("hourlyPulses").toDouble(), lowest.value("minimumHourlyPulses").toDouble());
        EXPECT_EQ(night.value("hour").toString(), lowest.value("minimumHour").toString());

        const QString verdict = report.value("verdict").toString();
        double longest = 0;
        for (const auto &s : info.value("leakStretches").toArray())
            longest = std::max(longest, s.toObject().value("hours").toDouble());
        if (leak) {
            ASSERT_GE(longest, 24.0);
            EXPECT_TRUE(verdict.startsWith(
                QStringLiteral("Possible leak: water ran without a break for %1 hours (from ").arg(int(longest))))
                << verdict.toStdString();
        } else {
            EXPECT_EQ(verdict, "No continuous flow of 24 hours or more");
        }

        const QString text = pdfText(pdf);
        EXPECT_TRUE(text.contains("TW-0042-7781")) << text.toStdString();
        EXPECT_TRUE(text.contains("Hillcrest 12"));
        EXPECT_TRUE(text.contains("Period: " + report.value("period").toString())) << text.toStdString();
        for (const char *key : {"totalText", "averagePerDayText", "verdict"})
            EXPECT_TRUE(text.contains(report.value(key).toString())) << key << "\n" << text.toStdString();
        EXPECT_TRUE(text.contains(report.value("highestDay").toObject().value("text").toString()));
        EXPECT_TRUE(text.contains(night.value("text").toString())) << text.toStdString();
        EXPECT_EQ(text.contains("Possible leak"), leak);
        EXPECT_FALSE(text.contains("No meter readings"));

        const auto shares = inkedShares(pdf, dir.filePath(leak ? "leak-page" : "quiet-page"));
        ASSERT_EQ(shares.size(), 2u);
        for (double share : shares)
            EXPECT_GT(share, 0.03);
    }
}

// Without readings the figures are revolutions; the text is the same on every run and in every
// locale; a period cut by --from/--to is the one shown; mistakes end in one line.
TEST_F(LogCommandsTest, ReportInRevolutionsTheSameEverywhere)
{
    QStringList texts;
    std::vector<QByteArray> files;
    for (const QString locale : {"C", "de_DE.UTF-8", "C"}) {
        const QString pdf = dir.filePath("r-" + locale + QString::number(texts.size()) + ".pdf");
        const Result r = cli({"report", rlog, "-o", pdf, "--page", "a4"}, locale);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        texts << pdfText(pdf);
        files.push_back(readFile(pdf));
    }
    EXPECT_EQ(files[1], files[0]);
    EXPECT_EQ(files[2], files[0]);
    EXPECT_TRUE(texts[0].contains("No meter readings: figures in revolutions")) << texts[0].toStdString();
    EXPECT_TRUE(texts[0].contains("8 revolutions"));
    EXPECT_TRUE(texts[0].contains("Period: 2026-06-01 15:20 to 2026-06-01 15:23 (Europe/Berlin, UTC+02:00)"));
    EXPECT_TRUE(texts[0].contains("Too short to judge continuous flow: under 24 hours recorded"));

    const QString cut = dir.filePath("cut.pdf");
    Result r = cli({"report", rlog, "-o", cut, "--json", "--from", "2026-06-01T15:21:00", "--to",
                    "2026-06-01T13:23:20Z", "--unit", "Liters"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_EQ(o.value("totalPulses").toInt(), 4);  // the period ends on the last entry, which stays out as in log-bins
    EXPECT_EQ(o.value("periodStart").toString(), "2026-06-01T15:21:00.000+02:00");
    EXPECT_EQ(o.value("unit").toString(), "revolutions");  // Liters asked, but no readings
    EXPECT_TRUE(pdfText(cut).contains("Period: 2026-06-01 15:21 to 2026-06-01 15:23"));

    TestSupport::writeFile(dir.filePath("plain"), "x");
    TestSupport::writeFile(dir.filePath("kept.pdf"), "old");
    const std::vector<QStringList> bad = {
        {"report", rlog},
        {"report", rlog, "-o", dir.filePath("x.pdf"), "--unit", "Barrels"},
        {"report", rlog, "-o", dir.filePath("x.pdf"), "--page", "b5"},
        {"report", rlog, "-o", dir.filePath("x.pdf"), "--from", "noon"},
        {"report", dir.filePath("missing.rlog"), "-o", dir.filePath("kept.pdf")},
        {"report", rlog, "-o", dir.filePath("plain/x.pdf")},
        {"report", rlog, "-o", dir.filePath("x.pdf"), "--from", "2030-01-01T00:00:00", "--to", "2030-02-01T00:00:00"},
        {"report", rlog, "-o", dir.filePath("x.pdf"), "--to", "2026-06-01T15:19:59"},
    };
    for (const QStringList &args : bad) {
        r = cli(args);
        EXPECT_EQ(r.status, 1) << args.join(' ').toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    EXPECT_TRUE(r.err.contains("the period holds none of the log, which runs from 2026-06-01 15:20 to"))
        << r.err.toStdString();
    EXPECT_EQ(readFile(dir.filePath("kept.pdf")), "old");
    EXPECT_FALSE(QFile::exists(dir.filePath("x.pdf")));
}

// Days whose clocks jump from 00:00 to 01:00 are one report day of 23 hours holding all their
// water: each day's sum is the virtual household's pulses on that local date.
TEST(LogCommandsReport, DaysWithAMissingMidnightKeepTheirWater)
{
    struct Case {
        const char *zone;
        QDate jump;
    };
    for (const Case &c : {Case{"Africa/Cairo", QDate(2023, 4, 28)}, Case{"America/Santiago", QDate(2023, 9, 3)}}) {
        SCOPED_TRACE(c.zone);
        const QTimeZone zone(c.zone);
        ASSERT_TRUE(zone.isValid());
        ASSERT_EQ(zone.offsetFromUtc(c.jump.startOfDay(zone)) - zone.offsetFromUtc(c.jump.addDays(-1).startOfDay(zone)),
                  3600);
        QTemporaryDir dir;
        SimulatedRawLog::Options o;
        o.startMs = c.jump.addDays(-2).startOfDay(zone).toMSecsSinceEpoch() + 3600000;
        o.days = 4;
        o.profile.leak = true;  // water at every hour, so the last day ends with the log
        const QString rlog = dir.filePath("dst.rlog");
        TestSupport::writeFile(rlog, SimulatedRawLog::build(o));
        PulseLog log;
        ASSERT_TRUE(log.load(rlog));
        QMap<QDate, double> truth;
        for (const auto &e : log.entries())
            truth[QDateTime::fromMSecsSinceEpoch(e.time / 1000000, zone).date()] += e.count;

        const Result r = cli({"report", rlog, "-o", dir.filePath("dst.pdf"), "--json"}, QString(), c.zone);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QJsonObject report = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QMap<QDate, double> days;
        QList<QDate> complete;
        for (const auto &v : report.value("dailyTotals").toArray()) {
            const QJsonObject d = v.toObject();
            const QDate date = QDate::fromString(d.value("date").toString(), Qt::ISODate);
            EXPECT_FALSE(days.contains(date)) << d.value("date").toString().toStdString();
            days[date] = d.value("pulses").toDouble();
            if (d.value("complete").toBool())
                complete << date;
        }
        EXPECT_EQ(days, truth);
        // The log runs from 01:00 two days before the jump to 01:00 two days after it.
        EXPECT_EQ(complete, QList<QDate>({c.jump.addDays(-1), c.jump, c.jump.addDays(1)}));
        const double highest = std::max({truth[c.jump.addDays(-1)], truth[c.jump], truth[c.jump.addDays(1)]});
        EXPECT_EQ(report.value("highestDay").toObject().value("pulses").toDouble(), highest);
    }
}
