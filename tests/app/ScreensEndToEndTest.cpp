// The screens of the real program against the virtual logger under an X server (xvfb-run):
// the home screen shows and copies the connected logger's identity, the flash tool offers a
// variables backup while the firmware still answers, writes a firmware file made by
// tarrowind-cli while refusing a damaged one, and the variables screen restores that backup
// and changes and saves persistent variables. What the logger holds is read from its ground
// truth; screenshots stay under the build folder.

#include "CliRun.h"
#include "HookClient.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class ScreensEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void homeShowsAndCopiesTheLogger();
    void flashToolRefusesADamagedFile();
    void flashToolFlashesABuiltFile();
    // Last: its dialog stays open.
    void variablesAreWrittenAndSaved();
    void loggerHoldsWhatTheScreensWrote();
    void cleanupTestCase();

private:
    QJsonObject groundTruth();
    QString buildFirmware(const QByteArray &payload, const QString &name);
    QString shot(const QString &name) const { return m_artifacts + QLatin1Char('/') + name; }
    QString backupFile() const { return m_dir.filePath(QStringLiteral("before-flash.json")); }

    QTemporaryDir m_dir;
    QString m_artifacts;
    QString m_bin;
    QProcess m_sim;
    QProcess m_app;
    QLocalServer m_server;
    HookClient m_hook;
    QByteArray m_payload;
    QString m_goodFile;
    QString m_damagedFile;
};

QString ScreensEndToEndTest::buildFirmware(const QByteArray &payload, const QString &name)
{
    const QString payloadPath = m_dir.filePath(name + QStringLiteral(".bin"));
    QFile file(payloadPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(payload) != payload.size())
        return QString();
    file.close();
    const QString out = m_dir.filePath(name + QStringLiteral(".fw"));
    const CliResult built =
        runCli({QStringLiteral("firmware-build"), QStringLiteral("--payload"), payloadPath, QStringLiteral("--version"),
                QStringLiteral("0.1.4470"), QStringLiteral("--strings"), QStringLiteral("screens test"),
                QStringLiteral("-o"), out},
               {}, 60000);
    if (built.status != 0) {
        qWarning() << built.err;
        return QString();
    }
    return out;
}

QJsonObject ScreensEndToEndTest::groundTruth()
{
    QFile truth(m_dir.filePath(QStringLiteral("truth/device.json")));
    return truth.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(truth.readAll()).object() : QJsonObject();
}

void ScreensEndToEndTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X server: run under xvfb-run -a");
    QVERIFY(m_dir.isValid());
    m_bin = qEnvironmentVariable("TW_BIN_DIR");
    m_artifacts = qEnvironmentVariable("TW_ARTIFACT_DIR", m_dir.path());
    QDir().mkpath(m_artifacts);

    m_payload.resize(40 * 1024 + 77);  // not a whole number of 256-byte blocks
    for (char &c : m_payload)
        c = char(QRandomGenerator::global()->bounded(256));
    m_goodFile = buildFirmware(m_payload, QStringLiteral("good"));
    QVERIFY(!m_goodFile.isEmpty());
    QFile good(m_goodFile);
    QVERIFY(good.open(QIODevice::ReadOnly));
    QByteArray damaged = good.readAll();
    damaged[1000] = char(damaged[1000] ^ 0x01);
    m_damagedFile = m_dir.filePath(QStringLiteral("damaged.fw"));
    QFile out(m_damagedFile);
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(out.write(damaged), qint64(damaged.size()));
    out.close();

    const QString port = m_dir.filePath(QStringLiteral("port"));
    m_sim.setProgram(m_bin + QStringLiteral("/tarrowind-sim"));
    // At the utility's own line rate, as on real hardware: unthrottled, a flash can be over
    // before its progress is ever seen.
    m_sim.setArguments({QStringLiteral("--link"), port, QStringLiteral("--sessions"), QStringLiteral("1"),
                        QStringLiteral("--baud-limit"), QStringLiteral("115200"),
                        QStringLiteral("--write-ground-truth"), m_dir.filePath(QStringLiteral("truth"))});
    m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_sim.start();
    QVERIFY(m_sim.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(m_sim.canReadLine(), 30000);

    // An archive that cannot be reached (nothing listens on the discard port).
    QLocalSocket *hook = HookClient::launch(
        m_app, m_server, m_dir.path(), {QStringLiteral("--port"), port},
        {{QStringLiteral("TW_FIRMWARE_ARCHIVE"), QStringLiteral("http://127.0.0.1:9/archive/firmware/")}},
        m_artifacts + QStringLiteral("/utility-output.txt"));
    QVERIFY(hook);
    m_hook.setSocket(hook);
}

void ScreensEndToEndTest::homeShowsAndCopiesTheLogger()
{
    const QJsonObject truth = groundTruth();
    const QString serial = truth.value(QStringLiteral("serialNumber")).toString();
    QVERIFY(!serial.isEmpty());
    QVERIFY(m_hook.waitForText(QStringLiteral("serialStatusTitle"), QStringLiteral("Logger Connected"), 90000));
    QVERIFY(m_hook.waitForText(QStringLiteral("serialNumberText"), QStringLiteral("Tarrowind 3X #") + serial, 20000));
    QVERIFY(m_hook.text(QStringLiteral("firmwareVersionText"))
                .startsWith(truth.value(QStringLiteral("version")).toString()));
    QVERIFY(m_hook.text(QStringLiteral("clockText")).startsWith(QStringLiteral("Clock: ")));
    QVERIFY(m_hook.eval(QStringLiteral("testHook.find('loggerPictureEffect').desaturation === 0")).toBool());

    m_hook.eval(QStringLiteral("testHook.find('copySerialButton').clicked()"));
    QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::clipboard()->text(), serial, 20000);
    QVERIFY(m_hook.grab(shot(QStringLiteral("home-connected.png"))));
}

void ScreensEndToEndTest::variablesAreWrittenAndSaved()
{
    m_hook.eval(QStringLiteral("globals.globalTrigger('logger.variables')"));
    QVERIFY(m_hook.waitFor(
        QStringLiteral("testHook.find('field_deviceName') !== null "
                       "&& testHook.find('field_deviceName').text === globals.tarrowindLogger.firmware.deviceName"),
        20000));
    QVERIFY(m_hook.waitForText(QStringLiteral("dirty_deviceName"), QString(), 20000));
    // The backup made before the flash goes back onto the logger.
    m_hook.eval(QStringLiteral("testHook.find('variablesScreen').backup.beginRestore(%1)")
                    .arg(HookClient::literal(QUrl::fromLocalFile(backupFile()).toString())));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('backupResultText').text.indexOf('Restored the 18') === 0"),
                           30000));
    m_hook.eval(QStringLiteral(
        "var s = testHook.find('variablesScreen'); s.contentY = Math.max(0, s.contentHeight - s.height)"));
    QVERIFY(m_hook.grab(shot(QStringLiteral("variables-restored.png"))));
    m_hook.eval(QStringLiteral("testHook.find('variablesScreen').contentY = 0"));
    m_hook.eval(QStringLiteral("testHook.find('field_deviceName').text = 'Pump House 7'"));
    m_hook.eval(QStringLiteral("testHook.find('field_pulseDuration').text = '2.5'"));
    QCOMPARE(m_hook.text(QStringLiteral("dirty_deviceName")), QStringLiteral("*"));
    QCOMPARE(m_hook.text(QStringLiteral("dirty_pulseDuration")), QStringLiteral("*"));
    QCOMPARE(m_hook.text(QStringLiteral("dirty_divider")), QString());
    QVERIFY(m_hook.grab(shot(QStringLiteral("variables-edited.png"))));

    QVERIFY(m_hook.eval(QStringLiteral("testHook.find('commitPersistentsButton').enabled")).toBool());
    m_hook.eval(QStringLiteral("testHook.find('commitPersistentsButton').clicked()"));
    QVERIFY(m_hook.waitForText(QStringLiteral("dirty_deviceName"), QString(), 20000));
    QCOMPARE(m_hook.text(QStringLiteral("dirty_pulseDuration")), QString());
    QVERIFY(!m_hook.eval(QStringLiteral("testHook.find('commitPersistentsButton').enabled")).toBool());

    // Let the logger finish the writes, then power-cycle it: only saved values come back.
    QVERIFY(m_hook.waitFor(QStringLiteral("globals.tarrowindLogger.firmware.queueClear"), 20000));
    // (The ground truth at the end shows the values after this restart.)
    QCOMPARE(::kill(pid_t(m_sim.processId()), SIGUSR2), 0);
    QVERIFY(m_hook.waitForText(QStringLiteral("serialStatusTitle"), QStringLiteral("Logger Connected"), 90000));
}

void ScreensEndToEndTest::flashToolRefusesADamagedFile()
{
    // From the keyboard, as the underlined letters say: Alt+L opens "Logger", F its "Flash Tool".
    QVERIFY2(HookClient::focusProgramWindow(), "xdotool (scripts/setup-deps) focuses the window");
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("alt+l")}), 0);
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('appMenuBar').menuAt(1).opened"), 20000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("menu-logger.png"))));
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("f")}), 0);
    // The logger still answers: the way to the flash tool first offers a backup, and a backup
    // that succeeds goes on to the tool.
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('flashBackupOffer') !== null "
                                          "&& testHook.find('flashBackupOffer').opened"),
                           20000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("flash-backup-offer.png"))));
    m_hook.eval(
        QStringLiteral("testHook.find('flashBackupOffer').backupTo(%1)").arg(HookClient::literal(backupFile())));
    QVERIFY(m_hook.waitFor(QStringLiteral("appLoader.item.currentScreen.headerTitle === 'Flash Utility'"), 20000));
    QFile backup(backupFile());
    QVERIFY(backup.open(QIODevice::ReadOnly));
    const QJsonObject saved = QJsonDocument::fromJson(backup.readAll()).object();
    QCOMPARE(saved.value(QStringLiteral("logger")).toObject().value(QStringLiteral("serialNumber")).toString(),
             groundTruth().value(QStringLiteral("serialNumber")).toString());
    QCOMPARE(saved.value(QStringLiteral("persistents256")).toObject().value(QStringLiteral("DeviceName_UserString")),
             groundTruth().value(QStringLiteral("persistents256")).toArray().at(0));
    QVERIFY(m_hook.waitForText(QStringLiteral("serialStatusTitle"), QStringLiteral("Logger in bootloader"), 90000));
    // Without an archive the way on is a file from the computer, and the online choice says why.
    QVERIFY(m_hook.waitForText(QStringLiteral("onlineChoiceState"),
                               QStringLiteral("Online firmware not available: HTTP failure, check internet connection"),
                               20000));
    QVERIFY(m_hook.eval(QStringLiteral("!appLoader.item.currentScreen.useOnline")).toBool());
    QVERIFY(m_hook.grab(shot(QStringLiteral("flash-no-archive.png"))));
    m_hook.eval(QStringLiteral("appLoader.item.currentScreen.loadFile(%1)").arg(HookClient::literal(m_damagedFile)));
    QVERIFY(m_hook.waitForText(QStringLiteral("fileChoiceState"), QStringLiteral("(Checksum failure)"), 20000));
    QVERIFY(!m_hook.eval(QStringLiteral("testHook.find('flashNowButton').enabled")).toBool());
    // Even when asked directly, the damaged image is not written.
    QCOMPARE(m_hook.eval(QStringLiteral("appLoader.item.currentScreen.flashNow()")).toBool(), false);
    QCOMPARE(m_hook.eval(QStringLiteral("globals.tarrowindLogger.bootloader.state")).toInt(), 2);
    QVERIFY(m_hook.grab(shot(QStringLiteral("flash-damaged.png"))));
}

void ScreensEndToEndTest::flashToolFlashesABuiltFile()
{
    m_hook.eval(QStringLiteral("appLoader.item.currentScreen.loadFile(%1)")
                    .arg(HookClient::literal(QUrl::fromLocalFile(m_goodFile).toString())));
    QVERIFY(m_hook.waitForText(QStringLiteral("fileChoiceState"), QStringLiteral("(Checksum verified)"), 20000));
    QCOMPARE(m_hook.text(QStringLiteral("fileChoiceVersion")), QStringLiteral("Firmware: v0.1.4470 screens test"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('flashNowButton').enabled"), 30000));
    m_hook.eval(QStringLiteral("testHook.find('flashNowButton').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('flashProgress').visible "
                                          "&& testHook.find('flashProgress').value > 0.05"),
                           60000));
    QVERIFY(!m_hook.eval(QStringLiteral("testHook.find('backButton').enabled")).toBool());
    QVERIFY(m_hook.grab(shot(QStringLiteral("flash-progress.png"))));
    // Any result ends the wait: a failed flash is reported at once, not after the deadline.
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('flashResultText').text !== ''"), 300000));
    QCOMPARE(m_hook.text(QStringLiteral("flashResultText")), QStringLiteral("Flash successful"));
    QVERIFY(m_hook.grab(shot(QStringLiteral("flash-done.png"))));

    m_hook.eval(QStringLiteral("testHook.find('backButton').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('screenStack').depth === 1"), 20000));
    QVERIFY(m_hook.waitForText(QStringLiteral("serialStatusTitle"), QStringLiteral("Logger Connected"), 90000));
}

void ScreensEndToEndTest::loggerHoldsWhatTheScreensWrote()
{
    // The virtual logger writes its ground truth again as it exits.
    m_sim.terminate();
    QVERIFY(m_sim.waitForFinished(30000));
    const QJsonObject truth = groundTruth();
    QVERIFY(truth.value(QStringLiteral("restarts")).toInt() >= 3);
    QCOMPARE(truth.value(QStringLiteral("persistents256")).toArray().at(0).toString(), QStringLiteral("Pump House 7"));
    QCOMPARE(truth.value(QStringLiteral("persistents16")).toArray().at(2).toInt(), 250);

    QFile flash(m_dir.filePath(QStringLiteral("truth/mcu-flash.bin")));
    QVERIFY(flash.open(QIODevice::ReadOnly));
    const QByteArray mcu = flash.readAll();
    QByteArray padded = m_payload;
    padded.append(QByteArray((256 - padded.size() % 256) % 256, char(0xFF)));
    QVERIFY(mcu.size() >= padded.size());
    QVERIFY(mcu.left(padded.size()) == padded);
}

void ScreensEndToEndTest::cleanupTestCase()
{
    for (QProcess *p : {&m_app, &m_sim}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(15000))
                p->kill();
        }
    }
}

QTEST_MAIN(ScreensEndToEndTest)

#include "ScreensEndToEndTest.moc"
