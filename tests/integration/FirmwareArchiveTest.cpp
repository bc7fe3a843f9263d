// The firmware archive against a loopback server laid out like the maker's: what a good,
// missing, redirected, oversized, stalled or damaged archive gives, in the class the window
// uses and in `tarrowind-cli firmware-fetch` (a black box against the same server).
#include "bootloader/FirmwareArchive.h"
#include "bootloader/FirmwareMeta.h"
#include "WaitUntil.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// Answers GET requests from a table: {status, body, Location, stall after half the body,
// announce the length}.
struct Answer {
    Answer(int s = 200, QByteArray b = {}, QByteArray l = {}, bool st = false, bool a = true)
        : status(s), body(std::move(b)), location(std::move(l)), stall(st), announce(a)
    {
    }
    int status;
    QByteArray body, location;
    bool stall, announce;
};

class FirmwareArchiveTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = server.nextPendingConnection())
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { serve(s); });
        });
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0) && dir.isValid());
        FirmwareMeta image;
        image.setPayload(randomBytes(30000));
        image.setMinor(1);
        image.setPatchLevel(4470);
        image.generateChecksum();
        good = image.payload() + image.trailer();
        QByteArray damaged = good;
        damaged[1234] = char(damaged[1234] ^ 0x10);
        const QByteArray meta = R"({"meta": {"latest": "tw-0.1.4470.fw"}})", fw = "/tw-0.1.4470.fw";
        const QByteArray base = base8();
        for (const char *folder : {"good", "damaged", "notfirmware", "huge", "stall"})
            answers[QByteArray("/") + folder + "/firmware_meta.json"] = {200, meta};
        answers["/good" + fw] = {200, good};
        answers["/damaged" + fw] = {200, damaged};
        answers["/notfirmware" + fw] = {200, QByteArray(3000, 'x')};
        answers["/huge" + fw] = {200, QByteArray(FirmwareArchive::kImageLimit + 4096, 'z'), {}, false, false};
        answers["/stall" + fw] = {200, good, {}, true};
        answers["/escape/firmware_meta.json"] = {200, R"({"meta": {"latest": "../good/tw-0.1.4470.fw"}})"};
        answers["/badmeta/firmware_meta.json"] = {200, "<html>maintenance</html>"};
        answers["/moved/firmware_meta.json"] = {302, {}, base + "good/firmware_meta.json"};
        answers["/moved" + fw] = {302, {}, base + "good" + fw};
        answers["/away/firmware_meta.json"] = {
            302, {}, QByteArray(base).replace("127.0.0.1", "localhost") + "good" + fw};
    }

    static QByteArray randomBytes(int n)
    {
        QByteArray bytes(n, Qt::Uninitialized);
        for (char &c : bytes)
            c = char(QRandomGenerator::global()->bounded(256));
        return bytes;
    }
    QByteArray base8() const { return "http://127.0.0.1:" + QByteArray::number(server.serverPort()) + "/"; }

    void serve(QTcpSocket *s)
    {
        QByteArray &head = heads[s];
        head += s->readAll();
        if (!head.contains("\r\n\r\n"))
            return;
        const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
        const Answer a = answers.value(words.value(1), Answer{404, "not here"});
        QByteArray out = "HTTP/1.1 " + QByteArray::number(a.status) + " X\r\nConnection: close\r\n";
        if (!a.location.isEmpty())
            out += "Location: " + a.location + "\r\n";
        if (a.announce)
            out += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n";
        s->write(out + "\r\n" + (a.stall ? a.body.left(a.body.size() / 2) : a.body));
        if (!a.stall)
            s->disconnectFromHost();
    }

    // One fetch from `folder`; the error text it finished with, exactly once.
    std::string fetch(FirmwareArchive &archive, const char *folder)
    {
        archive.setBaseUrl(QString::fromLatin1(base8() + folder + "/"));
        QSignalSpy finished(&archive, &FirmwareArchive::finished);
        archive.fetchLatest();
        EXPECT_TRUE(waitUntil([&] { return finished.count() > 0; }, 60000));
        spinFor(50);
        EXPECT_EQ(finished.count(), 1);
        EXPECT_FALSE(archive.busy());
        return finished.isEmpty() ? "(none)" : finished.first().first().toString().toStdString();
    }

    int cli(const char *folder, QStringList args, QString *out, QString *err)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TW_FIRMWARE_ARCHIVE"), QString::fromLatin1(base8() + folder + "/"));
        p.setProcessEnvironment(env);
        p.start(qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-cli"),
                QStringList{QStringLiteral("firmware-fetch")} + args);
        // This process serves the archive: its event loop turns while the tool runs.
        waitUntil([&] { return p.state() == QProcess::NotRunning; }, 90000);
        *out = QString::fromUtf8(p.readAllStandardOutput());
        *err = QString::fromUtf8(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    QTcpServer server;
    QHash<QByteArray, Answer> answers;
    QHash<QTcpSocket *, QByteArray> heads;
    QTemporaryDir dir;
    QByteArray good;
};

TEST_F(FirmwareArchiveTest, GoodArchiveLoadsTheImageAndSameOriginRedirectsAreFollowed)
{
    for (const char *folder : {"good", "moved"}) {
        FirmwareMeta target;
        FirmwareArchive archive;
        archive.setFirmwareMeta(&target);
        EXPECT_EQ(fetch(archive, folder), "") << folder;
        EXPECT_EQ(target.loadStatus(), FirmwareMeta::LoadStatus_Success);
        EXPECT_EQ(target.patchlevel(), 4470);
        EXPECT_EQ(archive.fileName(), QStringLiteral("tw-0.1.4470.fw"));
        EXPECT_EQ(archive.fileData(), good);
    }
}

TEST_F(FirmwareArchiveTest, EveryFailureSaysWhyAndKeepsNoImage)
{
    const char *const rows[][2] = {
        {"missing", "Meta download failure: HTTP status 404"},
        {"away", "Meta download failure: redirect to another host refused"},
        {"huge", "Firmware download failure: image larger than 16 MiB"},
        {"stall", "Firmware download failure: no data for 0.4 s"},
        {"damaged", "Firmware file error (Checksum failure)"},
        {"notfirmware", "Firmware file error (Invalid or missing metadata)"},
        {"badmeta", "Meta download failure: no firmware named in firmware_meta.json"},
        {"escape", "Meta download failure: no firmware named in firmware_meta.json"},
    };
    for (const auto &row : rows) {
        FirmwareArchive archive;
        archive.setStallTimeoutMs(400);
        EXPECT_EQ(fetch(archive, row[0]), row[1]) << row[0];
        EXPECT_EQ(archive.lastError().toStdString(), row[1]);
        EXPECT_TRUE(archive.fileName().isEmpty() && archive.fileData().isEmpty()) << row[0];
    }
    // Nothing leaves the machine in the clear.
    FirmwareArchive archive;
    archive.setBaseUrl(QStringLiteral("http://192.0.2.1/archive/firmware/"));
    archive.fetchLatest();
    ASSERT_TRUE(waitUntil([&] { return !archive.lastError().isEmpty(); }));
    EXPECT_EQ(archive.lastError(), QStringLiteral("Meta download failure: the archive address is not https"));
}

TEST_F(FirmwareArchiveTest, AddressComesFromTheEnvironmentThenTheSettingThenTheDefault)
{
    const QByteArray saved = qgetenv("TW_FIRMWARE_ARCHIVE");
    qunsetenv("TW_FIRMWARE_ARCHIVE");
    EXPECT_EQ(FirmwareArchive::effectiveBaseUrl(QString()), QLatin1String(FirmwareArchive::kDefaultBaseUrl));
    EXPECT_EQ(FirmwareArchive::effectiveBaseUrl(QStringLiteral("https://m.example/fw")), "https://m.example/fw/");
    qputenv("TW_FIRMWARE_ARCHIVE", "http://127.0.0.1:9/x/");
    EXPECT_EQ(FirmwareArchive::effectiveBaseUrl(QStringLiteral("https://m.example/fw/")), "http://127.0.0.1:9/x/");
    qputenv("TW_FIRMWARE_ARCHIVE", saved);
}

TEST_F(FirmwareArchiveTest, CliWritesTheLatestImageOrNothing)
{
    QString out, err;
    ASSERT_EQ(cli("good", {"-o", dir.path(), "--json", "--quiet"}, &out, &err), 0) << err.toStdString();
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
    const QString written = dir.filePath(QStringLiteral("tw-0.1.4470.fw"));
    EXPECT_EQ(o.value(QStringLiteral("version")).toString(), QStringLiteral("0.1.4470"));
    EXPECT_EQ(o.value(QStringLiteral("bytes")).toInt(), good.size());
    EXPECT_EQ(QDir(o.value(QStringLiteral("file")).toString()).absolutePath(), written);
    QFile file(written);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), good);

    // A damaged image writes nothing, a stall ends at its time-out: one line each.
    const QString empty = dir.filePath(QStringLiteral("empty"));
    ASSERT_TRUE(QDir().mkpath(empty));
    for (const char *folder : {"damaged", "stall"}) {
        EXPECT_EQ(cli(folder, {"-o", empty, "--timeout", "1", "--quiet"}, &out, &err), 1) << folder;
        EXPECT_TRUE(out.isEmpty() && err.count(QLatin1Char('\n')) == 1) << err.toStdString();
        EXPECT_TRUE(err.startsWith(QLatin1String("tarrowind-cli: "))) << err.toStdString();
        EXPECT_TRUE(QDir(empty).entryList(QDir::Files | QDir::Hidden).isEmpty()) << folder;
    }
    EXPECT_EQ(cli("good", {"-o", empty}, &out, &err), 0) << err.toStdString();
    EXPECT_EQ(out, QStringLiteral("0.1.4470 %1\n").arg(QDir(empty).filePath(QStringLiteral("tw-0.1.4470.fw"))));
}

}  // namespace
