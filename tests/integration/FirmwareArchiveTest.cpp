// The firmware archive against a loopback server laid out like the maker's: what a good,
// missing, redirected, oversized, stalled or damaged archive gives, in the class the window
// uses and in `tarrowind-cli firmware-fetch` (run as a black box against the same server).
#include "bootloader/FirmwareArchive.h"
#include "bootloader/FirmwareMeta.h"
#include "WaitUntil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// Answers GET requests from a table. `stall` sends the head and half the body, then nothing.
class ArchiveServer : public QObject
{
public:
    struct Answer {
        int status = 200;
        QByteArray body;
        QByteArray location;  // a redirect's target
        bool stall = false;
        bool announceLength = true;
    };

    ArchiveServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket);
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString base(const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return QStringLiteral("http://%1:%2/").arg(host).arg(m_server.serverPort());
    }
    void set(const QString &path, const Answer &answer) { m_answers[path] = answer; }
    int requests = 0;

private:
    void serve(QTcpSocket *socket)
    {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            QByteArray &head = m_heads[socket];
            head += socket->readAll();
            if (!head.contains("\r\n\r\n"))
                return;
            const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
            m_heads.remove(socket);
            ++requests;
            const QString path = words.size() > 1 ? QString::fromLatin1(words[1]).mid(1) : QString();
            const Answer a = m_answers.value(path, Answer{404, "not here", {}, false, true});
            QByteArray out = "HTTP/1.1 " + QByteArray::number(a.status) + " X\r\nConnection: close\r\n";
            if (!a.location.isEmpty())
                out += "Location: " + a.location + "\r\n";
            if (a.announceLength)
                out += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n";
            out += "\r\n";
            socket->write(out + (a.stall ? a.body.left(a.body.size() / 2) : a.body));
            if (!a.stall)
                socket->disconnectFromHost();
        });
    }

    QTcpServer m_server;
    QHash<QString, Answer> m_answers;
    QHash<QTcpSocket *, QByteArray> m_heads;
};

class FirmwareArchiveTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        FirmwareMeta image;
        QByteArray payload(30000, Qt::Uninitialized);
        for (char &c : payload)
            c = char(QRandomGenerator::global()->bounded(256));
        image.setPayload(payload);
        image.setMinor(1);
        image.setPatchLevel(4470);
        image.generateChecksum();
        good = image.payload() + image.trailer();
        QByteArray damaged = good;
        damaged[1234] = char(damaged[1234] ^ 0x10);
        const QByteArray meta = R"({"meta": {"latest": "tw-0.1.4470.fw"}})";
        const auto ok = [](const QByteArray &body) { return ArchiveServer::Answer{200, body, {}, false, true}; };
        server.set(QStringLiteral("good/firmware_meta.json"), ok(meta));
        server.set(QStringLiteral("good/tw-0.1.4470.fw"), ok(good));
        server.set(QStringLiteral("damaged/firmware_meta.json"), ok(meta));
        server.set(QStringLiteral("damaged/tw-0.1.4470.fw"), ok(damaged));
        server.set(QStringLiteral("notfirmware/firmware_meta.json"), ok(meta));
        server.set(QStringLiteral("notfirmware/tw-0.1.4470.fw"), ok(QByteArray(3000, 'x')));
        server.set(QStringLiteral("escape/firmware_meta.json"),
                   ok(R"({"meta": {"latest": "../good/tw-0.1.4470.fw"}})"));
        server.set(QStringLiteral("badmeta/firmware_meta.json"), ok("<html>maintenance</html>"));
        server.set(QStringLiteral("moved/firmware_meta.json"),
                   {302, {}, server.base().toUtf8() + "good/firmware_meta.json", false, true});
        server.set(QStringLiteral("moved/tw-0.1.4470.fw"),
                   {302, {}, server.base().toUtf8() + "good/tw-0.1.4470.fw", false, true});
        server.set(
            QStringLiteral("away/firmware_meta.json"),
            {302, {}, server.base(QStringLiteral("localhost")).toUtf8() + "good/firmware_meta.json", false, true});
        // Past the cap without saying so in advance: the stream itself is cut off.
        server.set(QStringLiteral("huge/firmware_meta.json"), ok(meta));
        server.set(QStringLiteral("huge/tw-0.1.4470.fw"),
                   {200, QByteArray(FirmwareArchive::kImageLimit + 4096, 'z'), {}, false, false});
        server.set(QStringLiteral("stall/firmware_meta.json"), ok(meta));
        server.set(QStringLiteral("stall/tw-0.1.4470.fw"), {200, good, {}, true, true});
    }

    // One fetch from `folder`; the error text it finished with.
    QString fetch(FirmwareArchive &archive, const QString &folder)
    {
        archive.setBaseUrl(server.base() + folder + QLatin1Char('/'));
        QSignalSpy finished(&archive, &FirmwareArchive::finished);
        archive.fetchLatest();
        EXPECT_TRUE(waitUntil([&] { return finished.count() > 0; }, 60000));
        EXPECT_FALSE(archive.busy());
        spinFor(50);
        EXPECT_EQ(finished.count(), 1);
        return finished.isEmpty() ? QStringLiteral("(no answer)") : finished.first().first().toString();
    }

    struct Run {
        int exitCode = -1;
        QString out;
        QString err;
    };
    Run cli(const QString &folder, const QStringList &args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TW_FIRMWARE_ARCHIVE"), server.base() + folder + QLatin1Char('/'));
        p.setProcessEnvironment(env);
        p.start(qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-cli"),
                QStringList{QStringLiteral("firmware-fetch")} + args);
        // This process serves the archive: its event loop turns while the tool runs.
        waitUntil([&] { return p.state() == QProcess::NotRunning; }, 90000);
        Run r;
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    QTemporaryDir dir;
    ArchiveServer server;
    QByteArray good;
};

TEST_F(FirmwareArchiveTest, GoodArchiveLoadsTheImageAndSameOriginRedirectsAreFollowed)
{
    for (const QString &folder : {QStringLiteral("good"), QStringLiteral("moved")}) {
        FirmwareMeta target;
        FirmwareArchive archive;
        archive.setFirmwareMeta(&target);
        EXPECT_EQ(fetch(archive, folder).toStdString(), "") << folder.toStdString();
        EXPECT_EQ(target.loadStatus(), FirmwareMeta::LoadStatus_Success);
        EXPECT_EQ(target.patchlevel(), 4470);
        EXPECT_EQ(archive.fileName(), QStringLiteral("tw-0.1.4470.fw"));
        EXPECT_EQ(archive.fileData(), good);
    }
}

TEST_F(FirmwareArchiveTest, EveryFailureSaysWhyAndKeepsNoImage)
{
    const struct {
        const char *folder;
        const char *error;
    } rows[] = {
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
        EXPECT_EQ(fetch(archive, QLatin1String(row.folder)).toStdString(), row.error) << row.folder;
        EXPECT_EQ(archive.lastError(), QLatin1String(row.error));
        EXPECT_TRUE(archive.fileName().isEmpty()) << row.folder;
    }
    // Nothing leaves the machine in the clear.
    FirmwareArchive archive;
    archive.setBaseUrl(QStringLiteral("http://192.0.2.1/archive/firmware/"));
    QSignalSpy finished(&archive, &FirmwareArchive::finished);
    archive.fetchLatest();
    ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }));
    EXPECT_EQ(archive.lastError(), QStringLiteral("Meta download failure: the archive address is not https"));
}

TEST_F(FirmwareArchiveTest, AddressComesFromTheEnvironmentThenTheSettingThenTheDefault)
{
    const QByteArray saved = qgetenv("TW_FIRMWARE_ARCHIVE");
    qunsetenv("TW_FIRMWARE_ARCHIVE");
    EXPECT_EQ(FirmwareArchive::effectiveBaseUrl(QString()), QLatin1String(FirmwareArchive::kDefaultBaseUrl));
    EXPECT_EQ(FirmwareArchive::effectiveBaseUrl(QStringLiteral("https://mirror.example/fw")),
              QStringLiteral("https://mirror.example/fw/"));
    qputenv("TW_FIRMWARE_ARCHIVE", "http://127.0.0.1:9/x/");
    EXPECT_EQ(FirmwareArchive::effectiveBaseUrl(QStringLiteral("https://mirror.example/fw/")),
              QStringLiteral("http://127.0.0.1:9/x/"));
    qputenv("TW_FIRMWARE_ARCHIVE", saved);
}

TEST_F(FirmwareArchiveTest, CliWritesTheLatestImageOrNothing)
{
    if (!QFileInfo::exists(qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-cli")))
        GTEST_SKIP() << "tarrowind-cli is not built";
    Run r = cli(QStringLiteral("good"),
                {QStringLiteral("-o"), dir.path(), QStringLiteral("--json"), QStringLiteral("--quiet")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_EQ(o.value(QStringLiteral("version")).toString(), QStringLiteral("0.1.4470"));
    EXPECT_EQ(o.value(QStringLiteral("bytes")).toInt(), good.size());
    const QString written = dir.filePath(QStringLiteral("tw-0.1.4470.fw"));
    EXPECT_EQ(QFileInfo(o.value(QStringLiteral("file")).toString()).absoluteFilePath(), written);
    QFile file(written);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), good);

    // A damaged image writes nothing, a stall ends within its time-out: one line each.
    const QString empty = dir.filePath(QStringLiteral("empty"));
    ASSERT_TRUE(QDir().mkpath(empty));
    for (const QString &folder : {QStringLiteral("damaged"), QStringLiteral("stall")}) {
        r = cli(folder, {QStringLiteral("-o"), empty, QStringLiteral("--timeout"), QStringLiteral("1"),
                         QStringLiteral("--quiet")});
        EXPECT_EQ(r.exitCode, 1) << folder.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith(QLatin1String("tarrowind-cli: "))) << r.err.toStdString();
        EXPECT_TRUE(QDir(empty).entryList(QDir::Files | QDir::Hidden).isEmpty()) << folder.toStdString();
    }
    r = cli(QStringLiteral("good"), {QStringLiteral("-o"), empty});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("0.1.4470 %1\n").arg(QDir(empty).filePath(QStringLiteral("tw-0.1.4470.fw"))));
}

}  // namespace
