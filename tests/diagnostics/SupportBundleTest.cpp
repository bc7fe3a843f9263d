// The support bundle read back with libzip: once with the traffic of a real connection to the
// in-process virtual logger (compared with what the device saw), once through the command-line
// tool without a logger (the stored settings and the program's logs, found where it keeps them).

#include "diagnostics/SupportBundle.h"
#include "cli/LoggerConnection.h"
#include "CliRun.h"
#include "network/Network.h"
#include "network/PacketParser.h"
#include "serial/SerialTrafficRing.h"
#include "sim/DeviceRequestFramer.h"
#include "sim/VirtualLoggerRunner.h"
#include "WaitUntil.h"
#include "ZipReader.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <map>
#include <memory>

namespace {
void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QJsonObject jsonEntry(const QMap<QString, QByteArray> &zip, const char *name)
{
    return QJsonDocument::fromJson(zip.value(QString::fromLatin1(name))).object();
}

// The bytes of one direction, parsed back out of the bundle's hex lines.
QByteArray bytesOf(const QByteArray &traffic, const char *direction)
{
    QByteArray out;
    for (const QByteArray &line : traffic.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() < 3 || fields[1] != direction)
            continue;
        for (int i = 2; i < fields.size(); ++i)
            out += QByteArray::fromHex(fields[i]);
    }
    return out;
}
}  // namespace

TEST(SupportBundle, CarriesTheTrafficAndIdentityOfTheConnectedLogger)
{
    QTemporaryDir dir;
    VirtualLoggerConfig config;
    config.serialNumber = QStringLiteral("TW-BUNDLE-0042");
    VirtualLoggerRunner sim(config);
    ASSERT_TRUE(sim.startPty());

    SerialTrafficRing::instance().clear();
    QVariantMap logger;
    {
        LoggerConnection c;
        QString error;
        ASSERT_TRUE(c.open({sim.portName(), 30000}, &error)) << error.toStdString();
        TarrowindFirmware::PacketOutcome outcome{};
        ASSERT_TRUE(c.waitForRequest(c.firmware()->sendGetStats(), 15000, &outcome));
        logger = SupportBundle::loggerSnapshot(c.firmware());
    }
    // The port is closed: everything the host sent is in the ring; wait until the device has
    // taken all of it too.
    SupportBundle::Contents contents = SupportBundle::gatherCommon(dir.filePath("data"));
    const QByteArray sent = bytesOf(SerialTrafficRing::formatHex(contents.traffic), "TX");
    std::map<uint16_t, uint64_t> framed;
    DeviceRequestFramer framer([&](const QByteArray &p) { ++framed[uint16_t(uchar(p[0]) | uchar(p[1]) << 8)]; });
    framer.feed(sent);
    EXPECT_EQ(framer.badBytes(), 0u);
    std::map<uint16_t, uint64_t> seen;
    EXPECT_TRUE(waitUntil(
        [&] {
            sim.withDevice([&](VirtualLogger &d) { seen = d.requestCounts(); });
            return seen == framed;
        },
        20000));
    EXPECT_GE(framed[Network::C2S_GetStats], 1u);

    contents.logger = logger;
    const QString path = dir.filePath("bundle.zip");
    QString error;
    ASSERT_TRUE(SupportBundle::write(path, contents, &error)) << error.toStdString();

    const QMap<QString, QByteArray> zip = readZip(path);
    EXPECT_EQ(zip.keys(), (QStringList{"bundle.json", "logger.json", "ports.json", "serial-traffic.txt"}));
    const QJsonObject identity = jsonEntry(zip, "logger.json");
    EXPECT_EQ(identity.value("serialNumber").toString(), config.serialNumber);
    EXPECT_EQ(identity.value("version").toString(), QStringLiteral("0.1.4468"));
    EXPECT_FALSE(identity.value("stats").toObject().isEmpty());

    // The device's answers are in the bundle whole: one statistics result per request.
    int statsResults = 0;
    PacketParser parser;
    parser.setPacketHandler(
        [&](const Network::PacketBase &p, int) { statsResults += p.type == Network::S2C_GetStatsResult; });
    parser.feed(bytesOf(zip.value("serial-traffic.txt"), "RX"));
    EXPECT_EQ(uint64_t(statsResults), framed[Network::C2S_GetStats]);
    EXPECT_EQ(bytesOf(zip.value("serial-traffic.txt"), "TX"), sent);
}

TEST(SupportBundle, CommandLineToolBundlesTheStoredSettingsAndLogs)
{
    QTemporaryDir home;
    const QString data = home.filePath("share/Ombrellix/Tarrowind Utility");
    writeFile(data + "/runlog.txt", "run\n");
    writeFile(data + "/ftdi-fix.txt", "ftdiElevatedFix x\n");
    const QByteArray settings = R"({"serialSettings":{"port":"AUTO","baud":115200}})";
    {
        ASSERT_TRUE(QDir().mkpath(data + "/QML/OfflineStorage/Databases"));
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "seed");
        db.setDatabaseName(data + "/QML/OfflineStorage/Databases/79a9c772fe04c03c2d99cf79cb74f70a.sqlite");
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("CREATE TABLE variable(name TEXT PRIMARY KEY, value TEXT)"));
        ASSERT_TRUE(q.exec("INSERT INTO variable VALUES ('other', '1')"));
        q.prepare("INSERT INTO variable VALUES ('settings', ?)");
        q.addBindValue(QString::fromUtf8(settings));
        ASSERT_TRUE(q.exec());
        db.close();
    }
    QSqlDatabase::removeDatabase("seed");

    auto run = [&](const QStringList &args, QByteArray *out) {
        const CliResult r = runCli(args, {{"XDG_DATA_HOME", home.filePath("share")}, {"TW_EXTRA_PORTS", "/dev/null"}});
        *out = r.out + r.err.toUtf8();
        return r.status;
    };
    QByteArray out;
    const QString path = home.filePath("bundle.zip");
    ASSERT_EQ(run({"support-bundle", "-o", path}, &out), 0) << out.toStdString();
    const QMap<QString, QByteArray> zip = readZip(path);
    EXPECT_EQ(zip.value("settings.json"), settings);
    EXPECT_EQ(zip.value("runlog.txt"), QByteArray("run\n"));
    EXPECT_EQ(zip.value("ftdi-fix.txt"), QByteArray("ftdiElevatedFix x\n"));
    EXPECT_TRUE(jsonEntry(zip, "ports.json").contains("/dev/null"));
    EXPECT_FALSE(zip.contains("logger.json"));
    EXPECT_EQ(jsonEntry(zip, "bundle.json").value("absent").toArray(), QJsonArray{"logger.json"});

    // A bundle that cannot be written, or no output named: one line and status 1, no file.
    EXPECT_EQ(run({"support-bundle", "-o", home.filePath("missing/bundle.zip")}, &out), 1);
    EXPECT_EQ(out.count('\n'), 1) << out.toStdString();
    EXPECT_FALSE(QFileInfo::exists(home.filePath("missing")));
    EXPECT_EQ(run({"support-bundle"}, &out), 1);
    EXPECT_EQ(out.count('\n'), 1) << out.toStdString();
}

TEST(SupportBundle, CutsLongLogsToTheirNewestLinesAndNamesUnreadableOnes)
{
    QTemporaryDir dir;
    QByteArray log;
    for (int i = 0; log.size() <= SupportBundle::kLogCapBytes; ++i)
        log += "line " + QByteArray::number(i) + " of the run\n";
    writeFile(dir.filePath("runlog.txt"), log);
    SupportBundle::Contents c;
    c.runLogPath = dir.filePath("runlog.txt");
    c.repairLogPath = dir.filePath("unreadable");  // there, but a folder
    ASSERT_TRUE(QDir().mkpath(c.repairLogPath));
    QString error;
    ASSERT_TRUE(SupportBundle::write(dir.filePath("b.zip"), c, &error)) << error.toStdString();
    const QMap<QString, QByteArray> zip = readZip(dir.filePath("b.zip"));

    // A first line that says so, then the newest lines whole, no more than the cap.
    const QList<QByteArray> kept = zip.value("runlog.txt").split('\n');
    const QByteArray tail = zip.value("runlog.txt").mid(kept[0].size() + 1);
    EXPECT_TRUE(kept[0].startsWith("[This log was cut: its first " + QByteArray::number(log.size() - tail.size())));
    EXPECT_TRUE(tail.size() <= SupportBundle::kLogCapBytes && tail.size() > SupportBundle::kLogCapBytes - 100);
    EXPECT_TRUE(log.endsWith("\n" + tail));

    const QJsonObject summary = jsonEntry(zip, "bundle.json");
    EXPECT_FALSE(summary.value("unreadable").toObject().value("ftdi-fix.txt").toString().isEmpty());
    EXPECT_FALSE(zip.contains("ftdi-fix.txt") || summary.value("absent").toArray().contains("ftdi-fix.txt"));
}
