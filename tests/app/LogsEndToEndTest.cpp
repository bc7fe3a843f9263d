// The log screens of the real program against the virtual logger under an X server: the
// Device Logs screen lists the sessions, saves one under a unique name byte for byte as the
// logger holds it, opens one in the viewer while it downloads, and erases the filesystem only
// after the confirmation; the viewer zooms, cycles its units, selects, and exports every format
// exactly as tarrowind-cli does for the same log.

#include "HookClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

class LogsEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void deviceLogsSaveWhatTheLoggerHolds();
    void openShowsTheDownloadAndLeavingCancelsIt();
    void viewerZoomsSelectsAndExportsLikeTheCli();
    void clearFilesAsksFirstThenErases();
    void cleanupTestCase();

private:
    QString shot(const QString &name) const { return m_artifacts + QLatin1Char('/') + name; }
    QString screen() const { return QStringLiteral("testHook.find('screenStack').currentItem"); }
    void openDeviceLogs();
    QByteArray cliExport(const QString &log, const QStringList &args, const QString &out);

    QTemporaryDir m_dir;
    QString m_artifacts;
    QString m_bin;
    QProcess m_sim;
    QProcess m_app;
    QLocalServer m_server;
    HookClient m_hook;
    QString m_saved;
};

void LogsEndToEndTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X server: run under xvfb-run -a");
    QVERIFY(m_dir.isValid());
    m_bin = qEnvironmentVariable("TW_BIN_DIR");
    m_artifacts = qEnvironmentVariable("TW_ARTIFACT_DIR", m_dir.path());
    QDir().mkpath(m_artifacts);

    const QString port = m_dir.filePath(QStringLiteral("port"));
    m_sim.setProgram(m_bin + QStringLiteral("/tarrowind-sim"));
    m_sim.setArguments({QStringLiteral("--link"), port, QStringLiteral("--sessions"), QStringLiteral("2"),
                        QStringLiteral("--seed"), QStringLiteral("7"), QStringLiteral("--write-ground-truth"),
                        m_dir.filePath(QStringLiteral("truth"))});
    m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_sim.start();
    QVERIFY(m_sim.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(m_sim.canReadLine(), 30000);

    const QString serverName = m_dir.filePath(QStringLiteral("hook"));
    QVERIFY(m_server.listen(serverName));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        env.insert(QString::fromLatin1(name), m_dir.filePath(QString::fromLatin1(name)));
    env.insert(QStringLiteral("TW_TEST_HOOK"), serverName);
    // The default log folder lies under the home folder: keep the saved logs in ours.
    env.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("QT_QUICK_BACKEND"));
    m_app.setProcessEnvironment(env);
    m_app.setProcessChannelMode(QProcess::MergedChannels);
    m_app.setStandardOutputFile(m_artifacts + QStringLiteral("/utility-output.txt"));
    m_app.start(m_bin + QStringLiteral("/tarrowind-utility"), {QStringLiteral("--port"), port});
    QVERIFY(m_app.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(m_server.hasPendingConnections(), 60000);
    m_hook.setSocket(m_server.nextPendingConnection());

    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('screenStack') && testHook.find('screenStack').depth === 1"),
                           30000));
    QVERIFY(m_hook.waitForText(QStringLiteral("serialStatusTitle"), QStringLiteral("Logger Connected"), 90000));
    QDir().mkpath(m_hook.eval(QStringLiteral("globals.settings.logSettings.folder")).toString());
}

void LogsEndToEndTest::openDeviceLogs()
{
    m_hook.eval(QStringLiteral("testHook.find('deviceLogsButton').clicked()"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'logIndexScreen'"), 20000));
}

void LogsEndToEndTest::deviceLogsSaveWhatTheLoggerHolds()
{
    openDeviceLogs();
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".sessions.length === 2 && ") + screen()
                               + QStringLiteral(".scanFinished"), 240000));
    QVERIFY(m_hook.waitForText(QStringLiteral("filesystemStatus"), QStringLiteral("Logger filesystem open"), 60000));
    QVERIFY(m_hook.text(QStringLiteral("filesystemFull")).startsWith(QStringLiteral("File system is ")));
    QVERIFY(m_hook.grab(shot(QStringLiteral("device-logs.png"))));

    const QString folder = m_hook.eval(QStringLiteral("globals.settings.logSettings.folder")).toString();
    const int index = m_hook.eval(screen() + QStringLiteral(".sessions[0].sessionIndex")).toInt();
    const QString name = m_hook.eval(screen() + QStringLiteral(".fileName(") + screen()
                                     + QStringLiteral(".sessions[0])")).toString();
    QVERIFY2(name.contains(QStringLiteral("_%1_").arg(index, 4, 10, QLatin1Char('0'))), qPrintable(name));
    QVERIFY(name.endsWith(QStringLiteral(".rlog")));

    // A file already there keeps its content: the log goes beside it under a new name.
    m_saved = folder + QLatin1Char('/') + name;
    QFile blocker(m_saved);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a log");
    blocker.close();
    m_hook.eval(screen() + QStringLiteral(".saveSession(") + screen() + QStringLiteral(".sessions[0])"));
    const QString expectedName = QFileInfo(m_saved).completeBaseName() + QStringLiteral("(2).rlog");
    QVERIFY(m_hook.waitForText(QStringLiteral("messageText"), QStringLiteral("Log saved successfully. (%1)").arg(expectedName),
                               240000));
    QVERIFY(blocker.open(QIODevice::ReadOnly));
    QCOMPARE(blocker.readAll(), QByteArray("not a log"));
    blocker.close();
    m_saved = folder + QLatin1Char('/') + expectedName;

    QFile truth(m_dir.filePath(QStringLiteral("truth/session-%1.rlog").arg(index)));
    QVERIFY(truth.open(QIODevice::ReadOnly));
    const QByteArray expected = truth.readAll();
    QFile saved(m_saved);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QByteArray got = saved.readAll();
    QVERIFY(!expected.isEmpty());
    QVERIFY2(got.left(expected.size()) == expected, "the saved records differ from the logger's");
    // What follows the records is the metadata, with the logger's names in it.
    QVERIFY(got.mid(expected.size()).contains("Logger Job Name"));
    // The scan runs again after the download.
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".scanFinished && ") + screen() + QStringLiteral(".status === 1"),
                           240000));
}

void LogsEndToEndTest::openShowsTheDownloadAndLeavingCancelsIt()
{
    m_hook.eval(screen() + QStringLiteral(".openSession(") + screen() + QStringLiteral(".sessions[0])"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'pulseLogViewer'"), 20000));
    // The logger's pages are cached by now, so the download may already be over: the viewer's
    // state has to agree with the downloader's either way.
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".pulseLog.totalPulseCount > 0"), 240000));
    const QJsonArray state = m_hook.eval(QStringLiteral("[%1.downloading, testHook.find('downloadingLabel').visible,"
                                                        " testHook.find('exportButton').enabled]").arg(screen())).toArray();
    QCOMPARE(state.at(1).toBool(), state.at(0).toBool());
    QCOMPARE(state.at(2).toBool(), !state.at(0).toBool());
    QVERIFY(m_hook.grab(shot(QStringLiteral("viewer-downloading.png"))));
    m_hook.eval(QStringLiteral("globals.globalTrigger('screen.pop')"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'logIndexScreen'"), 20000));
    QVERIFY(m_hook.waitFor(QStringLiteral("!testHook.find('sessionDownloader').downloading"), 60000));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".status === 1"), 240000));
}

// Workbooks carry their creation time; every other part must be the same.
static bool sameWorkbook(const QString &a, const QString &b)
{
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys, zipfile\n"
                                 "a, b = (zipfile.ZipFile(p) for p in sys.argv[1:])\n"
                                 "names = [n for n in a.namelist() if n != 'docProps/core.xml']\n"
                                 "same = sorted(a.namelist()) == sorted(b.namelist()) and "
                                 "all(a.read(n) == b.read(n) for n in names)\n"
                                 "sys.exit(0 if same and names else 1)\n"),
                  a, b});
    return python.waitForFinished(60000) && python.exitCode() == 0;
}

QByteArray LogsEndToEndTest::cliExport(const QString &log, const QStringList &args, const QString &out)
{
    QProcess cli;
    cli.start(m_bin + QStringLiteral("/tarrowind-cli"),
              QStringList{QStringLiteral("log-export"), log} + args + QStringList{QStringLiteral("-o"), out});
    if (!cli.waitForFinished(120000) || cli.exitCode() != 0) {
        qWarning() << cli.readAllStandardError();
        return QByteArray();
    }
    QFile f(out);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void LogsEndToEndTest::viewerZoomsSelectsAndExportsLikeTheCli()
{
    m_hook.eval(QStringLiteral("appLoader.item.openLogFile(%1)").arg(HookClient::literal(m_saved)));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'pulseLogViewer' && ") + screen()
                               + QStringLiteral(".totalPulses > 0"), 30000));
    const QString chart = QStringLiteral("testHook.find('revolutionsChart')");
    QVERIFY(m_hook.waitFor(chart + QStringLiteral(".binCount > 0"), 20000));
    const double bins = m_hook.eval(chart + QStringLiteral(".binCount")).toDouble();

    // Zoom in to the limit and out again with the buttons; never beyond N/100 nor below 1.
    for (int i = 0; i < 60; ++i)
        m_hook.eval(QStringLiteral("testHook.find('zoomInButton').clicked()"));
    QCOMPARE(m_hook.eval(chart + QStringLiteral(".zoom")).toDouble(), qMax(1.0, bins / 100));
    QVERIFY(m_hook.grab(shot(QStringLiteral("viewer-zoomed.png"))));
    for (int i = 0; i < 60; ++i)
        m_hook.eval(QStringLiteral("testHook.find('zoomOutButton').clicked()"));
    QCOMPARE(m_hook.eval(chart + QStringLiteral(".zoom")).toDouble(), 1.0);

    // Readings make the gallon displays; the unit label cycles through the three.
    m_hook.eval(screen() + QStringLiteral(".writeMeta('Meter Reading Unit', 'Gallons')"));
    m_hook.eval(screen() + QStringLiteral(".writeMeta('Meter Reading Start', '100')"));
    m_hook.eval(screen() + QStringLiteral(".writeMeta('Meter Reading End', '400')"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".flowDisplay.volumeLabel === 'Gallons'"), 10000));
    const QString label = QStringLiteral("testHook.find('revolutionsGraph').labelY");
    QVERIFY(m_hook.waitFor(label + QStringLiteral(" === 'Gallons per Minute'"), 10000));
    QStringList labels;
    for (int i = 0; i < 3; ++i) {
        labels << m_hook.eval(label).toString();
        m_hook.eval(chart + QStringLiteral(".unitLabelClicked()"));
        QVERIFY(m_hook.waitFor(label + QStringLiteral(" !== ") + HookClient::literal(labels.last()), 10000));
    }
    QVERIFY2(QSet<QString>(labels.begin(), labels.end()).size() == 3, qPrintable(labels.join(QLatin1Char('|'))));

    // A selection over the first half shows its three lines.
    m_hook.eval(chart + QStringLiteral(".setSelection(0, %1)").arg(std::floor(bins / 2)));
    const QString selection = m_hook.text(QStringLiteral("selectionText"));
    QVERIFY2(selection.startsWith(QStringLiteral("Totals: ")) && selection.contains(QStringLiteral("\nMaximum: "))
                 && selection.contains(QStringLiteral("\nMinimum: ")), qPrintable(selection));
    m_hook.eval(QStringLiteral("testHook.find('exportButton').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('exportDialog') && testHook.find('exportDialog').opened"), 10000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("export-dialog.png"))));
    QCOMPARE(m_hook.eval(QStringLiteral("testHook.find('limitToSelection').checked")).toBool(), true);
    m_hook.eval(chart + QStringLiteral(".clearSelection()"));
    m_hook.eval(QStringLiteral("testHook.find('exportDialog').selection = null"));

    struct Case { int format; QString cli; QStringList args; };
    // Readings 100..400 in gallons, computed mode: the CLI gets the same numbers in gallons.
    const double total = m_hook.eval(screen() + QStringLiteral(".totalPulses")).toDouble();
    const QString perPulse = QString::number(300.0 / total, 'g', 17);
    const QStringList grouped{QStringLiteral("--interval-s"), QStringLiteral("10"), QStringLiteral("--unit"),
                              QStringLiteral("Gallons"), QStringLiteral("--units-per-pulse"), perPulse,
                              QStringLiteral("--initial-reading"), QStringLiteral("100"),
                              QStringLiteral("--end-reading"), QStringLiteral("400")};
    const QList<Case> cases{{0, QStringLiteral("rlog"), {}},        {1, QStringLiteral("xlsx"), grouped},
                            {2, QStringLiteral("mm100"), grouped},  {3, QStringLiteral("pulses"), {}},
                            {4, QStringLiteral("grouped"), grouped}, {5, QStringLiteral("environment"), {}},
                            {6, QStringLiteral("meta"), {}}};
    // The CLI reads the log as the viewer has it now, metadata included.
    const QString current = m_dir.filePath(QStringLiteral("current.rlog"));
    QVERIFY(m_hook.eval(screen() + QStringLiteral(".pulseLog.saveRaw(%1)").arg(HookClient::literal(current))).toBool());
    const QString dialog = QStringLiteral("testHook.find('exportDialog')");
    for (const Case &c : cases) {
        const QString out = m_dir.filePath(QStringLiteral("gui-%1").arg(c.format));
        m_hook.eval(dialog + QStringLiteral(".format = %1").arg(c.format));
        m_hook.eval(dialog + QStringLiteral(".outputName = %1").arg(HookClient::literal(out)));
        const QJsonArray result = m_hook.eval(dialog + QStringLiteral(".run()")).toArray();
        QVERIFY2(result.at(0).toInt() == 1, qPrintable(result.at(1).toString()));
        QFile gui(out);
        QVERIFY(gui.open(QIODevice::ReadOnly));
        const QByteArray fromGui = gui.readAll();
        const QByteArray fromCli = cliExport(current, QStringList{QStringLiteral("--format"), c.cli} + c.args,
                                             m_dir.filePath(QStringLiteral("cli-%1").arg(c.format)));
        QVERIFY2(!fromCli.isEmpty(), qPrintable(c.cli));
        if (c.cli == QLatin1String("xlsx"))
            QVERIFY2(sameWorkbook(out, m_dir.filePath(QStringLiteral("cli-%1").arg(c.format))), "xlsx");
        else
            QVERIFY2(fromGui == fromCli, qPrintable(c.cli));
    }
    m_hook.eval(dialog + QStringLiteral(".close()"));
    m_hook.eval(QStringLiteral("globals.globalTrigger('screen.pop')"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('screenStack').depth === 1"), 20000));
}

void LogsEndToEndTest::clearFilesAsksFirstThenErases()
{
    openDeviceLogs();
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".sessions.length === 2 && ") + screen()
                               + QStringLiteral(".scanFinished"), 240000));
    m_hook.eval(QStringLiteral("testHook.find('clearFilesButton').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('clearFilesDialog').opened"), 10000));
    const QString question = m_hook.text(QStringLiteral("clearFilesQuestion"));
    // One of the two was saved above.
    QVERIFY2(question.contains(QStringLiteral("2 sessions")) && question.contains(QStringLiteral("1 of them has never")),
             qPrintable(question));
    QVERIFY(m_hook.grab(shot(QStringLiteral("clear-files-question.png"))));
    QCOMPARE(m_hook.eval(QStringLiteral("testHook.find('clearFilesCancel').activeFocus")).toBool(), true);
    m_hook.eval(QStringLiteral("testHook.find('clearFilesCancel').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("!testHook.find('clearFilesDialog').visible"), 10000));
    QCOMPARE(m_hook.eval(screen() + QStringLiteral(".clearing")).toBool(), false);
    QCOMPARE(m_hook.eval(screen() + QStringLiteral(".sessions.length")).toInt(), 2);

    m_hook.eval(QStringLiteral("testHook.find('clearFilesButton').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('clearFilesDialog').opened"), 10000));
    m_hook.eval(QStringLiteral("testHook.find('clearFilesErase').clicked()"));
    QVERIFY(m_hook.waitForText(QStringLiteral("messageText"), QStringLiteral("Filesytem initialized successfully"), 240000));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('screenStack').depth === 1"), 20000));
    openDeviceLogs();
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".scanFinished && ") + screen()
                               + QStringLiteral(".sessions.length === 0"), 240000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("device-logs-empty.png"))));
}

void LogsEndToEndTest::cleanupTestCase()
{
    for (QProcess *p : {&m_app, &m_sim}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(15000))
                p->kill();
        }
    }
}

QTEST_MAIN(LogsEndToEndTest)

#include "LogsEndToEndTest.moc"
