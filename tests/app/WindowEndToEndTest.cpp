// The real program against the virtual logger under an X server (xvfb-run): the window shows
// the connected logger, samples flow, the log pane follows the log, and the GUI thread keeps
// running while a session downloads and while a firmware flashes. The program is observed
// through its test hook (TW_TEST_HOOK); screenshots and the stall figures are kept under the
// build folder.

#include "bootloader/FirmwareMeta.h"
#include "HookClient.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

class WindowEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void programUsersRunIgnoresTheTestHook();
    void showsTheConnectedLogger();
    void logPaneFollowsOnlyAReaderAtTheBottom();
    void sessionDownloadKeepsTheWindowResponsive();
    void firmwareFlashKeepsTheWindowResponsive();
    void freshStartFindsTheLoggerWithoutAPort();
    void cleanupTestCase();

private:
    QJsonObject request(QJsonObject r);
    QJsonValue eval(const QString &expression);
    QJsonValue windowProperty(const QString &objectName, const QString &property);
    bool waitFor(const QString &expression, int timeoutMs);
    QJsonValue pageScript(const QString &script);
    double readStall();
    void note(const QString &line);
    void noteStartTimes(const QString &what);

    QTemporaryDir m_dir;
    QString m_artifacts;
    QProcess m_sim;
    QProcess m_app;
    QLocalServer m_server;
    QLocalSocket *m_hook = nullptr;
    int m_nextId = 0;
    qint64 m_startedEpochMs = 0;
};

QJsonObject WindowEndToEndTest::request(QJsonObject r)
{
    r[QStringLiteral("id")] = ++m_nextId;
    m_hook->write(QJsonDocument(r).toJson(QJsonDocument::Compact) + '\n');
    QElapsedTimer clock;
    clock.start();
    while (!m_hook->canReadLine() && clock.elapsed() < 30000)
        m_hook->waitForReadyRead(1000);
    const QJsonObject answer = QJsonDocument::fromJson(m_hook->readLine()).object();
    if (answer.contains(QStringLiteral("error")))
        qWarning().noquote() << "hook:" << answer.value(QStringLiteral("error")).toString();
    return answer;
}

QJsonValue WindowEndToEndTest::eval(const QString &expression)
{
    return request({{QStringLiteral("eval"), expression}}).value(QStringLiteral("value"));
}

QJsonValue WindowEndToEndTest::windowProperty(const QString &objectName, const QString &property)
{
    return request({{QStringLiteral("property"), QJsonArray{objectName, property}}}).value(QStringLiteral("value"));
}

bool WindowEndToEndTest::waitFor(const QString &expression, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    do {
        if (eval(expression).toBool())
            return true;
        QTest::qWait(100);
    } while (clock.elapsed() < timeoutMs);
    return false;
}

// Runs a script in the log page and returns its result.
QJsonValue WindowEndToEndTest::pageScript(const QString &script)
{
    request({{QStringLiteral("take"), true}});
    eval(
        QStringLiteral("testHook.find('logView').runJavaScript(%1, function (r) { testHook.report(r) })")
            .arg(
                QString::fromUtf8(QJsonDocument(QJsonArray{script}).toJson(QJsonDocument::Compact)).mid(1).chopped(1)));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000) {
        const QJsonValue v = request({{QStringLiteral("take"), true}}).value(QStringLiteral("value"));
        if (!v.isNull() && !v.isUndefined())
            return v;
        QTest::qWait(50);
    }
    return QJsonValue();
}

double WindowEndToEndTest::readStall()
{
    return request({{QStringLiteral("probe"), QStringLiteral("read")}})
        .value(QStringLiteral("longestStallMs"))
        .toDouble();
}

void WindowEndToEndTest::note(const QString &line)
{
    qInfo().noquote() << line;
    QFile file(m_artifacts + QStringLiteral("/stalls.txt"));
    if (file.open(QIODevice::Append | QIODevice::Text))
        QTextStream(&file) << line << '\n';
}

// From the process's start: its first frame, and (now) "Logger Connected".
void WindowEndToEndTest::noteStartTimes(const QString &what)
{
    const qint64 frame =
        qint64(request({{QStringLiteral("probe"), QStringLiteral("read")}})["firstFrameEpochMs"].toDouble());
    note(QStringLiteral("%1: first frame %2 ms after the process started, \"Logger Connected\" seen after %3 ms")
             .arg(what, QString::number(frame - m_startedEpochMs),
                  QString::number(QDateTime::currentMSecsSinceEpoch() - m_startedEpochMs)));
}

void WindowEndToEndTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X server: run under xvfb-run -a");
    QVERIFY(m_dir.isValid());
    const QString bin = qEnvironmentVariable("TW_BIN_DIR");
    m_artifacts = qEnvironmentVariable("TW_ARTIFACT_DIR", m_dir.path());
    QDir().mkpath(m_artifacts);
    QFile::remove(m_artifacts + QStringLiteral("/stalls.txt"));

    const QString port = m_dir.filePath(QStringLiteral("port"));
    m_sim.setProgram(bin + QStringLiteral("/tarrowind-sim"));
    m_sim.setArguments({QStringLiteral("--link"), port, QStringLiteral("--sessions"), QStringLiteral("2"),
                        QStringLiteral("--write-ground-truth"), m_dir.filePath(QStringLiteral("truth")),
                        // As fast as the logger's filesystem screen runs the line.
                        QStringLiteral("--baud-limit"), QStringLiteral("460800")});
    m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_sim.start();
    QVERIFY(m_sim.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(m_sim.canReadLine(), 30000);

    m_startedEpochMs = QDateTime::currentMSecsSinceEpoch();
    m_hook = HookClient::launch(m_app, m_server, m_dir.path(), {QStringLiteral("--port"), port},
                                {{QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1")}},
                                m_artifacts + QStringLiteral("/utility-output.txt"));
    QVERIFY(m_hook);
}

// The program users run, given the hook's variable exactly as the test copy is, never connects:
// the hook is not in it.
void WindowEndToEndTest::programUsersRunIgnoresTheTestHook()
{
    QTemporaryDir home;
    QLocalServer listener;
    const QString serverName = HookClient::listen(listener, home.path());
    QVERIFY(!serverName.isEmpty());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    env.insert(QStringLiteral("TW_TEST_HOOK"), serverName);
    // No OpenGL there, as on a machine without a driver: the program must fall back by itself.
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("QT_QUICK_BACKEND"));
    env.remove(QStringLiteral("DISPLAY"));
    QProcess product;
    product.setProcessEnvironment(env);
    product.setProcessChannelMode(QProcess::MergedChannels);
    product.start(qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-utility"), QStringList());
    QVERIFY(product.waitForStarted(10000));
    // The settings are read once the root document has loaded, after the hook's connection.
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += product.readAll()).contains("Settings "), 60000);
    const bool connected = listener.waitForNewConnection(2000);
    output += product.readAll();
    const bool running = product.state() == QProcess::Running;
    product.kill();
    QVERIFY(product.waitForFinished(10000) && !connected);
    QVERIFY2(running && output.contains("software renderer") && !output.contains("recursive rearrange"),
             output.constData());
}

void WindowEndToEndTest::showsTheConnectedLogger()
{
    QFile truth(m_dir.filePath(QStringLiteral("truth/device.json")));
    QVERIFY(truth.open(QIODevice::ReadOnly));
    const QString serial =
        QJsonDocument::fromJson(truth.readAll()).object().value(QStringLiteral("serialNumber")).toString();
    QVERIFY(!serial.isEmpty());

    QElapsedTimer clock;
    clock.start();
    while (windowProperty(QStringLiteral("connectionTitle"), QStringLiteral("text")).toString() !=
               QLatin1String("Logger Connected") &&
           clock.elapsed() < 60000)
        QTest::qWait(100);
    QCOMPARE(windowProperty(QStringLiteral("connectionTitle"), QStringLiteral("text")).toString(),
             QStringLiteral("Logger Connected"));
    note(QStringLiteral("connected after %1 ms").arg(clock.elapsed()));
    noteStartTimes(QStringLiteral("start with --port"));
    QTRY_COMPARE_WITH_TIMEOUT(windowProperty(QStringLiteral("connectionSerial"), QStringLiteral("text")).toString(),
                              QStringLiteral("Tarrowind 3X #") + serial, 20000);

    // The virtual logger streams 400 samples a second through the window's sample path.
    request({{QStringLiteral("probe"), QStringLiteral("reset")}});
    QVERIFY(waitFor(QStringLiteral("globals.pointsPerSecond > 300 && globals.pointsPerSecond < 500"), 20000));
    QTest::qWait(3000);
    note(QStringLiteral("longest GUI-thread stall while connected and streaming: %1 ms").arg(readStall(), 0, 'f', 1));

    const QString shot = m_artifacts + QStringLiteral("/window-connected.png");
    QVERIFY(!request({{QStringLiteral("grab"), shot}}).contains(QStringLiteral("error")));
    QVERIFY(QFileInfo(shot).size() > 1000);
}

void WindowEndToEndTest::logPaneFollowsOnlyAReaderAtTheBottom()
{
    QCOMPARE(eval(QStringLiteral("testHook.find('logView') === null")).toBool(), true);
    request({{QStringLiteral("probe"), QStringLiteral("reset")}});
    eval(QStringLiteral("globals.settings.showLog = true"));
    QVERIFY(waitFor(QStringLiteral("testHook.find('logDisplay') !== null && testHook.find('logDisplay').pageReady"),
                    60000));
    note(QStringLiteral("longest GUI-thread stall while the log pane's web view starts: %1 ms")
             .arg(readStall(), 0, 'f', 1));
    // What was logged before the pane opened is there (the settings line comes at start-up).
    QTRY_VERIFY_WITH_TIMEOUT(
        pageScript(QStringLiteral("/Settings (loaded|defaulted)/.test(document.body.innerText)")).toBool(), 20000);
    const QString distance = QStringLiteral(
        "(function () { var r = document.scrollingElement; return r.scrollHeight - r.scrollTop - r.clientHeight; })()");
    const QString lines = QStringLiteral("document.body.childElementCount");
    auto logBurst = [this](const QString &tag, int count) {
        eval(QStringLiteral("(function () { for (var i = 0; i < %1; ++i) console.log('%2 ' + i) })()")
                 .arg(count)
                 .arg(tag));
    };

    logBurst(QStringLiteral("first"), 80);
    QTRY_VERIFY_WITH_TIMEOUT(pageScript(lines).toInt() >= 80, 20000);
    QVERIFY(pageScript(QStringLiteral("document.scrollingElement.scrollTop")).toDouble() > 0);
    QVERIFY(pageScript(distance).toDouble() <= 30);

    // A reader further up stays where they are while lines arrive.
    QCOMPARE(pageScript(QStringLiteral("document.scrollingElement.scrollTop = 40")).toInt(), 40);
    int before = pageScript(lines).toInt();
    logBurst(QStringLiteral("second"), 20);
    QTRY_VERIFY_WITH_TIMEOUT(pageScript(lines).toInt() >= before + 20, 20000);
    QCOMPARE(pageScript(QStringLiteral("document.scrollingElement.scrollTop")).toInt(), 40);

    // Back near the bottom (within 30 pixels), the view follows again.
    pageScript(QStringLiteral("(function () { var r = document.scrollingElement; r.scrollTop = r.scrollHeight - "
                              "r.clientHeight - 25; return 1; })()"));
    before = pageScript(lines).toInt();
    logBurst(QStringLiteral("third"), 20);
    QTRY_VERIFY_WITH_TIMEOUT(pageScript(lines).toInt() >= before + 20, 20000);
    QVERIFY(pageScript(distance).toDouble() <= 1);
    request({{QStringLiteral("grab"), m_artifacts + QStringLiteral("/window-log-pane.png")}});
}

void WindowEndToEndTest::sessionDownloadKeepsTheWindowResponsive()
{
    request({{QStringLiteral("take"), true}});
    eval(QStringLiteral(
        "(function () {"
        "  var fs = Qt.createQmlObject('import localdev 1.0; RemoteFilesystem { objectName: \"e2eFs\" }', "
        "appLoader.item, 'e2e');"
        "  var dl = Qt.createQmlObject('import localdev 1.0; SessionDownloader { objectName: \"e2eDownloader\" }', "
        "appLoader.item, 'e2e');"
        "  dl.remoteFileSystem = fs;"
        "  fs.sessionIndexingFinished.connect(function (ok) { testHook.report('scanned ' + ok) });"
        "  dl.sessionDownloadFinished.connect(function (ok, error) { testHook.report('downloaded ' + ok + error) });"
        "  fs.remoteKestrelcove = globals.tarrowindLogger.firmware;"
        "})()"));
    auto waitForReport = [this](const QString &expected, int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        QString last;
        while (clock.elapsed() < timeoutMs) {
            const QJsonValue v = request({{QStringLiteral("take"), true}}).value(QStringLiteral("value"));
            if (v.isString())
                last = v.toString();
            if (last == expected)
                return true;
            QTest::qWait(100);
        }
        qWarning().noquote() << "last report:" << last;
        return false;
    };
    QVERIFY(waitFor(QStringLiteral("testHook.find('e2eFs').status === 1"), 60000));
    eval(QStringLiteral("testHook.find('e2eFs').beginScanningSessions()"));
    QVERIFY(waitForReport(QStringLiteral("scanned true"), 120000));
    QCOMPARE(eval(QStringLiteral("testHook.find('e2eFs').sessions.length")).toInt(), 2);

    request({{QStringLiteral("probe"), QStringLiteral("reset")}});
    QElapsedTimer clock;
    clock.start();
    eval(QStringLiteral("testHook.find('e2eDownloader').beginDownload(testHook.find('e2eFs').sessions[0])"));
    QVERIFY(waitForReport(QStringLiteral("downloaded true"), 240000));
    const double stall = readStall();
    QVERIFY(eval(QStringLiteral("testHook.find('e2eDownloader').pulseLog.totalPulseCount")).toDouble() > 0);
    note(QStringLiteral("longest GUI-thread stall while a session downloads: %1 ms (download took %2 ms)")
             .arg(stall, 0, 'f', 1)
             .arg(clock.elapsed()));
    eval(QStringLiteral("testHook.find('e2eDownloader').destroy(); testHook.find('e2eFs').destroy()"));
}

void WindowEndToEndTest::firmwareFlashKeepsTheWindowResponsive()
{
    FirmwareMeta image;
    QByteArray payload(64 * 1024, Qt::Uninitialized);
    for (char &c : payload)
        c = char(QRandomGenerator::global()->bounded(256));
    image.setPayload(payload);
    image.setPatchLevel(4470);
    image.generateChecksum();
    const QString path = m_dir.filePath(QStringLiteral("image.fw"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(image.payload() + image.trailer());
    file.close();

    eval(QStringLiteral("Qt.createQmlObject('import localdev 1.0; FirmwareMeta { objectName: \"e2eImage\" }', "
                        "appLoader.item, 'e2e').load(%1)")
             .arg(QString::fromUtf8(QJsonDocument(QJsonArray{path}).toJson(QJsonDocument::Compact)).mid(1).chopped(1)));
    QVERIFY(waitFor(QStringLiteral("testHook.find('e2eImage').loadStatus === 0"), 20000));

    eval(QStringLiteral("globals.enterBootloader()"));
    QVERIFY(waitFor(QStringLiteral("globals.tarrowindLogger.bootloader.state === 2"), 60000));
    request({{QStringLiteral("probe"), QStringLiteral("reset")}});
    QElapsedTimer clock;
    clock.start();
    eval(QStringLiteral("globals.tarrowindLogger.bootloader.beginOperation(1, 4, testHook.find('e2eImage').payload)"));
    QVERIFY(waitFor(QStringLiteral("globals.tarrowindLogger.bootloader.state === 3"), 20000));
    QTRY_COMPARE_WITH_TIMEOUT(windowProperty(QStringLiteral("connectionTitle"), QStringLiteral("text")).toString(),
                              QStringLiteral("Logger Busy"), 20000);
    // The screenshot is taken on the GUI thread: it is kept out of the measured time.
    double stall = readStall();
    request({{QStringLiteral("grab"), m_artifacts + QStringLiteral("/window-flashing.png")}});
    request({{QStringLiteral("probe"), QStringLiteral("reset")}});
    QVERIFY(waitFor(QStringLiteral("globals.tarrowindLogger.bootloader.state !== 3"), 300000));
    stall = std::max(stall, readStall());
    QCOMPARE(eval(QStringLiteral("globals.tarrowindLogger.bootloader.operationErrorString")).toString(), QString());
    QCOMPARE(eval(QStringLiteral("globals.tarrowindLogger.bootloader.operationError")).toInt(), 0);
    note(QStringLiteral("longest GUI-thread stall while a firmware flashes: %1 ms (%2 KiB in %3 ms)")
             .arg(stall, 0, 'f', 1)
             .arg(payload.size() / 1024)
             .arg(clock.elapsed()));

    eval(QStringLiteral("globals.exitBootloader()"));
    QTRY_COMPARE_WITH_TIMEOUT(windowProperty(QStringLiteral("connectionTitle"), QStringLiteral("text")).toString(),
                              QStringLiteral("Logger Connected"), 60000);
}

// A technician's first start: fresh settings, no --port, the logger's adapter listed by the
// system. The port box's "Auto" (an empty setting) finds it; so does a stored "auto".
void WindowEndToEndTest::freshStartFindsTheLoggerWithoutAPort()
{
    const QString program = m_app.program();
    m_app.terminate();
    QVERIFY(m_app.waitForFinished(30000));
    QProcessEnvironment env = m_app.processEnvironment();
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        env.insert(QString::fromLatin1(name), m_dir.filePath(QStringLiteral("fresh/") + QString::fromLatin1(name)));
    env.insert(QStringLiteral("TW_EXTRA_PORTS"), m_dir.filePath(QStringLiteral("port")));
    m_app.setProcessEnvironment(env);
    for (const QString &stored : {QString(), QStringLiteral("auto")}) {
        m_startedEpochMs = QDateTime::currentMSecsSinceEpoch();
        m_app.start(program, QStringList());
        QVERIFY(m_app.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(m_server.hasPendingConnections(), 60000);
        m_hook = m_server.nextPendingConnection();
        QCOMPARE(eval(QStringLiteral("globals.settings.serialSettings.port")).toString(), stored);
        QTRY_COMPARE_WITH_TIMEOUT(windowProperty(QStringLiteral("connectionTitle"), QStringLiteral("text")).toString(),
                                  QStringLiteral("Logger Connected"), 90000);
        noteStartTimes(stored.isEmpty() ? QStringLiteral("fresh start, empty port setting")
                                        : QStringLiteral("start with the port setting \"auto\""));
        // What was stored stays as it was.
        QCOMPARE(eval(QStringLiteral("globals.settings.serialSettings.port + ' ' + globals.serialComm.serialPort")),
                 stored + QLatin1Char(' ') + m_dir.filePath(QStringLiteral("port")));
        request({{QStringLiteral("grab"), m_artifacts + QStringLiteral("/window-found-%1.png").arg(stored.size())}});
        if (stored.isEmpty()) {
            eval(QStringLiteral("globals.settings.setField('serialSettings', 'port', 'auto')"));
            QVERIFY(waitFor(
                QStringLiteral("JSON.stringify(globals.storage.getItem('settings')).indexOf('\"auto\"') >= 0"), 20000));
        }
        m_app.terminate();
        QVERIFY(m_app.waitForFinished(30000));
    }
}

void WindowEndToEndTest::cleanupTestCase()
{
    if (m_app.state() != QProcess::NotRunning) {
        m_app.terminate();
        if (!m_app.waitForFinished(15000))
            m_app.kill();
    }
    if (m_sim.state() != QProcess::NotRunning) {
        m_sim.terminate();
        if (!m_sim.waitForFinished(15000))
            m_sim.kill();
    }
    // No layout of the window ever fought itself in any of the runs.
    QFile output(m_artifacts + QStringLiteral("/utility-output.txt"));
    QVERIFY(output.open(QIODevice::ReadOnly));
    QVERIFY(!output.readAll().contains("recursive rearrange"));
}

QTEST_GUILESS_MAIN(WindowEndToEndTest)

#include "WindowEndToEndTest.moc"
