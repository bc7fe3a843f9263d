// The log screens of the real program against the virtual logger under an X server: the
// Device Logs screen lists the sessions, saves one under a unique name byte for byte as the
// logger holds it, opens one in the viewer while it downloads, and erases the filesystem only
// after the confirmation; the viewer zooms, cycles its units, selects, and exports every format
// exactly as tarrowind-cli does for the same log. The library screen lists what the window and
// the command line added and "Leaks only" keeps exactly the leaking logs; its save reaches the
// team archive (a private PostgreSQL server), where it opens a log another technician saved.

#include "CliRun.h"
#include "HookClient.h"
#include "PgTestServer.h"
#include "sim/SimulatedRawLog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

// The virtual logger's magnet: not the default, so that a rate seen is the one it turns at.
static constexpr double kRevolutionsPerSecond = 2;

class LogsEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void deviceLogsSaveWhatTheLoggerHolds();
    void libraryListsSavedLogsAndLeaksOnly();
    void teamArchiveOpensAnotherTechniciansLog();
    void openShowsTheDownloadAndLeavingCancelsIt();
    void viewerZoomsSelectsAndExportsLikeTheCli();
    void viewerWritesTheCustomerReportOfTheSelection();
    void clearFilesAsksFirstThenErases();
    // Last: it stops the virtual logger to read what it was told.
    void visualizationLearnsTheMagnetAndRelearns();
    void cleanupTestCase();

private:
    bool viewerOpensTheRowAndBackToDeviceLogs();
    QString shot(const QString &name) const { return m_artifacts + QLatin1Char('/') + name; }
    QString screen() const { return QStringLiteral("testHook.find('screenStack').currentItem"); }
    void openDeviceLogs();
    QByteArray cliExport(const QString &log, const QStringList &args, const QString &out);
    QByteArray cli(const QStringList &args);

    QTemporaryDir m_dir;
    QString m_artifacts;
    QString m_bin;
    QProcess m_sim;
    QProcess m_app;
    QLocalServer m_server;
    HookClient m_hook;
    QString m_saved;
    QString m_archive;
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
    // At the utility's own line rate, as on real hardware: unthrottled, a download can be over
    // before the viewer ever shows it growing.
    m_sim.setArguments({QStringLiteral("--link"), port, QStringLiteral("--sessions"), QStringLiteral("2"),
                        QStringLiteral("--seed"), QStringLiteral("7"), QStringLiteral("--rev-per-s"),
                        QString::number(kRevolutionsPerSecond), QStringLiteral("--baud-limit"),
                        QStringLiteral("115200"), QStringLiteral("--session-name"), QStringLiteral("up/../..\\x:y"),
                        QStringLiteral("--write-ground-truth"), m_dir.filePath(QStringLiteral("truth"))});
    m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_sim.start();
    QVERIFY(m_sim.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(m_sim.canReadLine(), 30000);

    QString pgError;
    QVERIFY2(PgTestServer::shared().start(&pgError) && PgTestServer::shared().createDatabase("fleet", &pgError),
             qPrintable(pgError));
    m_archive = PgTestServer::shared().address(QStringLiteral("fleet"));

    // The default log folder lies under the home folder: keep the saved logs in ours.
    QLocalSocket *hook =
        HookClient::launch(m_app, m_server, m_dir.path(), {QStringLiteral("--port"), port},
                           {{QStringLiteral("TW_LIBRARY"), m_dir.filePath(QStringLiteral("library.sqlite"))},
                            {QStringLiteral("TW_ARCHIVE"), m_archive},
                            {QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home"))}},
                           m_artifacts + QStringLiteral("/utility-output.txt"));
    QVERIFY(hook);
    m_hook.setSocket(hook);

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
    QVERIFY(m_hook.waitFor(
        screen() + QStringLiteral(".sessions.length === 2 && ") + screen() + QStringLiteral(".scanFinished"), 240000));
    QVERIFY(m_hook.waitForText(QStringLiteral("filesystemStatus"), QStringLiteral("Logger filesystem open"), 60000));
    // The fill level is the share of the logger's usable stream that holds data. The figure
    // has one decimal; the logger's fixed-point report adds at most 1/655.35 %.
    QFile sessionsJson(m_dir.filePath(QStringLiteral("truth/sessions.json")));
    QVERIFY(sessionsJson.open(QIODevice::ReadOnly));
    const QJsonObject flash = QJsonDocument::fromJson(sessionsJson.readAll()).object();
    const double usable = flash.value(QStringLiteral("usableSectors")).toDouble();
    QVERIFY(usable > 0);
    const double fill = 100 * flash.value(QStringLiteral("sectorsConsumed")).toDouble() / usable;
    QVERIFY2(fill >= 0.1, "too little on the flash to tell a wrong scale");
    const bool fillShown =
        m_hook.waitFor(QStringLiteral("(function () { var m = /^File system is (\\d+\\.\\d)% full\\.$/"
                                      ".exec(testHook.find('filesystemFull').text);"
                                      " return m !== null && Math.abs(Number(m[1]) - %1) <= 0.0516 })()")
                           .arg(fill, 0, 'g', 17),
                       20000);
    QVERIFY2(fillShown,
             qPrintable(m_hook.text(QStringLiteral("filesystemFull")) + QStringLiteral(" for %1 %").arg(fill)));
    QVERIFY(m_hook.grab(shot(QStringLiteral("device-logs.png"))));

    const QString folder = m_hook.eval(QStringLiteral("globals.settings.logSettings.folder")).toString();
    const int index = m_hook.eval(screen() + QStringLiteral(".sessions[0].sessionIndex")).toInt();
    const QString name =
        m_hook.eval(screen() + QStringLiteral(".fileName(") + screen() + QStringLiteral(".sessions[0])")).toString();
    // The session's name from the flash climbs and names a drive: it becomes a plain name.
    QVERIFY2(name.endsWith(QStringLiteral("_%1_up_______x_y.rlog").arg(index, 4, 10, QLatin1Char('0'))),
             qPrintable(name));

    // A file already there keeps its content: the log goes beside it under a new name.
    m_saved = folder + QLatin1Char('/') + name;
    QFile blocker(m_saved);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.write("not a log");
    blocker.close();
    m_hook.eval(screen() + QStringLiteral(".saveSession(") + screen() + QStringLiteral(".sessions[0])"));
    // Leaving while it saves asks first; staying (the default) lets the save finish.
    QVERIFY(m_hook
                .eval(QStringLiteral("(function () { if (%1.runningOperation !== 'download') return false;"
                                     " globals.globalTrigger('screen.pop'); return true })()")
                          .arg(screen()))
                .toBool());
    QVERIFY(m_hook.waitForText(QStringLiteral("confirmQuestion"),
                               QStringLiteral("A download is in progress. Leave and cancel it?"), 10000));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('confirmStay').activeFocus"), 10000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("leave-question.png"))));
    m_hook.eval(QStringLiteral("testHook.find('confirmStay').clicked()"));
    const QString expectedName = QFileInfo(m_saved).completeBaseName() + QStringLiteral("(2).rlog");
    QVERIFY(m_hook.waitForText(QStringLiteral("messageText"),
                               QStringLiteral("Log saved successfully. (%1)").arg(expectedName), 240000));
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

QByteArray LogsEndToEndTest::cli(const QStringList &args)
{
    const CliResult r = runCli(
        args + QStringList{QStringLiteral("--library"), m_dir.filePath(QStringLiteral("library.sqlite"))}, {}, 120000);
    if (r.status != 0)
        qWarning() << r.err;
    return r.out;
}

// The viewer shows the log a Library row opened; Back twice returns to Device Logs.
bool LogsEndToEndTest::viewerOpensTheRowAndBackToDeviceLogs()
{
    if (!m_hook.waitFor(screen() + QStringLiteral(".objectName === 'pulseLogViewer' && ") + screen() +
                            QStringLiteral(".totalPulses > 0"),
                        30000))
        return false;
    for (const char *back : {"libraryScreen", "logIndexScreen"}) {
        if (!m_hook.waitFor(QStringLiteral("!testHook.find('screenStack').busy"), 20000))
            return false;
        m_hook.eval(QStringLiteral("globals.globalTrigger('screen.pop')"));
        if (!m_hook.waitFor(screen() + QStringLiteral(".objectName === '%1'").arg(QLatin1String(back)), 20000))
            return false;
    }
    return true;
}

void LogsEndToEndTest::libraryListsSavedLogsAndLeaksOnly()
{
    // The window's save reached the library on its own.
    QTRY_VERIFY_WITH_TIMEOUT(
        cli({QStringLiteral("library"), QStringLiteral("list"), QStringLiteral("--json")})
            .contains(QJsonDocument(QJsonArray{m_saved}).toJson(QJsonDocument::Compact).mid(2).chopped(2)),
        60000);
    m_hook.eval(QStringLiteral("globals.globalTrigger('file.library')"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'libraryScreen'"), 20000));
    const QString model = QStringLiteral("testHook.find('libraryModel')");
    QVERIFY(m_hook.waitFor(model + QStringLiteral(".ready && ") + model + QStringLiteral(".count === 1"), 30000));

    // A fleet added by the command line while the screen is open: a leaking household among
    // quiet ones, two loggers.
    const QString fleet = m_dir.filePath(QStringLiteral("fleet"));
    QDir().mkpath(fleet);
    QStringList leaking;
    for (int i = 0; i < 4; ++i) {
        SimulatedRawLog::Options o;
        o.profile.seed = uint32_t(20 + i);
        o.profile.leak = i % 2 == 1;
        o.days = 3;
        o.metaData = {{QStringLiteral("Logger Serial"), i < 2 ? QStringLiteral("7001") : QStringLiteral("7002")},
                      {QStringLiteral("Logger Device Name"), QStringLiteral("Fleet site %1").arg(i)}};
        const QByteArray bytes = SimulatedRawLog::build(o);
        QFile f(QStringLiteral("%1/log-%2.rlog").arg(fleet).arg(i));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        if (o.profile.leak)
            leaking << QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    }
    cli({QStringLiteral("library"), QStringLiteral("add"), fleet});
    QVERIFY(m_hook.waitFor(model + QStringLiteral(".ready && ") + model + QStringLiteral(".count === 5"), 30000));
    const QString table = QStringLiteral("testHook.find('libraryTable')");
    QVERIFY(m_hook.waitFor(table + QStringLiteral(".rows === 5"), 10000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("library.png"))));

    m_hook.eval(QStringLiteral("testHook.find('leaksOnlyBox').checked = true"));
    QVERIFY(m_hook.waitFor(model + QStringLiteral(".ready && ") + model + QStringLiteral(".count === 2"), 30000));
    QStringList shown;
    for (const QJsonValue &v : m_hook.eval(model + QStringLiteral(".loadedIds()")).toArray())
        shown << v.toString();
    leaking.sort();
    shown.sort();
    QCOMPARE(shown, leaking);
    QVERIFY(m_hook.waitFor(table + QStringLiteral(".rows === 2"), 10000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("library-leaks.png"))));

    m_hook.eval(QStringLiteral("testHook.find('leaksOnlyBox').checked = false"));
    m_hook.eval(QStringLiteral("testHook.find('libraryFilter').text = 'fleet SITE'"));
    QVERIFY(m_hook.waitFor(model + QStringLiteral(".ready && ") + model + QStringLiteral(".count === 4"), 30000));
    m_hook.eval(screen() + QStringLiteral(".openRow(0)"));
    QVERIFY(viewerOpensTheRowAndBackToDeviceLogs());
}

void LogsEndToEndTest::teamArchiveOpensAnotherTechniciansLog()
{
    // The window's save went to the archive as well (the command line's adds above did not:
    // they had no archive).
    QFile saved(m_saved);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QString mine =
        QString::fromLatin1(QCryptographicHash::hash(saved.readAll(), QCryptographicHash::Sha256).toHex());
    QTRY_COMPARE_WITH_TIMEOUT(PgTestServer::shared().query("fleet", "SELECT sha256 FROM logs"), mine, 60000);

    // Another technician's machine adds its log.
    SimulatedRawLog::Options o;
    o.profile.seed = 99;
    o.days = 2;
    o.metaData = {{QStringLiteral("Logger Serial"), QStringLiteral("8123")}};
    const QByteArray theirs = SimulatedRawLog::build(o);
    const QString other = m_dir.filePath(QStringLiteral("other/theirs.rlog"));
    QDir().mkpath(QFileInfo(other).absolutePath());
    QFile f(other);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(theirs) == theirs.size());
    f.close();
    const CliResult added = runCli({"library", "add", other},
                                   {{"TW_LIBRARY", m_dir.filePath("other/library.sqlite")}, {"TW_ARCHIVE", m_archive}});
    QVERIFY2(added.status == 0, qPrintable(added.err));
    QFile::remove(other);  // only the archive has it now

    m_hook.eval(QStringLiteral("globals.globalTrigger('file.library')"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'libraryScreen'"), 20000));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('teamArchiveBox').visible"), 10000));
    m_hook.eval(QStringLiteral("testHook.find('libraryFilter').text = ''"));
    m_hook.eval(QStringLiteral("testHook.find('teamArchiveBox').checked = true"));
    const QString model = QStringLiteral("testHook.find('libraryModel')");
    QVERIFY(m_hook.waitFor(model + QStringLiteral(".ready && ") + model + QStringLiteral(".count === 2"), 30000));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('libraryTable').rows === 2"), 10000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("library-team-archive.png"))));
    const QString theirId = QString::fromLatin1(QCryptographicHash::hash(theirs, QCryptographicHash::Sha256).toHex());
    const int row = m_hook.eval(model + QStringLiteral(".loadedIds().indexOf('%1')").arg(theirId)).toInt();
    QVERIFY(row >= 0);
    m_hook.eval(screen() + QStringLiteral(".openRow(%1)").arg(row));
    QVERIFY(viewerOpensTheRowAndBackToDeviceLogs());
}

void LogsEndToEndTest::openShowsTheDownloadAndLeavingCancelsIt()
{
    m_hook.eval(screen() + QStringLiteral(".openSession(") + screen() + QStringLiteral(".sessions[0])"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'pulseLogViewer'"), 20000));
    // The logger's pages are cached by now, so the download may already be over: the viewer's
    // state has to agree with the downloader's either way.
    QVERIFY(m_hook.waitFor(
        screen() + QStringLiteral(".pulseLog.totalPulseCount > 0 && !testHook.find('screenStack').busy"), 240000));
    const QJsonArray state = m_hook
                                 .eval(QStringLiteral("[%1.downloading, testHook.find('downloadingLabel').visible,"
                                                      " testHook.find('exportButton').enabled]")
                                           .arg(screen()))
                                 .toArray();
    QCOMPARE(state.at(1).toBool(), state.at(0).toBool());
    QCOMPARE(state.at(2).toBool(), !state.at(0).toBool());
    QVERIFY(m_hook.grab(shot(QStringLiteral("viewer-downloading.png"))));
    // Escape typed in a text box only leaves the box; the next one leaves the screen.
    QVERIFY2(HookClient::focusProgramWindow(), "xdotool (scripts/setup-deps) focuses the window");
    m_hook.eval(QStringLiteral("testHook.find('groupingField').forceActiveFocus()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('groupingField').activeFocus"), 20000));
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")}), 0);
    QVERIFY(m_hook.waitFor(QStringLiteral("!testHook.find('groupingField').activeFocus"), 20000));
    QCOMPARE(m_hook.eval(screen() + QStringLiteral(".objectName")).toString(), QStringLiteral("pulseLogViewer"));
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")}), 0);
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
    const CliResult r = runCli(
        QStringList{QStringLiteral("log-export"), log} + args + QStringList{QStringLiteral("-o"), out}, {}, 120000);
    if (r.status != 0) {
        qWarning() << r.err;
        return QByteArray();
    }
    QFile f(out);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void LogsEndToEndTest::viewerZoomsSelectsAndExportsLikeTheCli()
{
    m_hook.eval(QStringLiteral("appLoader.item.openLogFile(%1)").arg(HookClient::literal(m_saved)));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'pulseLogViewer' && ") + screen() +
                               QStringLiteral(".totalPulses > 0"),
                           30000));
    // The viewer left in the previous step is gone once the transition has ended.
    QVERIFY(m_hook.waitFor(QStringLiteral("!testHook.find('screenStack').busy"), 20000));
    const QString chart = QStringLiteral("testHook.find('revolutionsChart')");
    QVERIFY(m_hook.waitFor(chart + QStringLiteral(".binCount > 0"), 20000));
    const double bins = m_hook.eval(chart + QStringLiteral(".binCount")).toDouble();

    // Zoom in to the limit and out again with the buttons; never beyond N/100 nor below 1.
    // The first and last visible dates label the x axis, below it with room to show, and follow the zoom.
    const QString dates = QStringLiteral("testHook.find('revolutionsGraph').axisLabelsX.join('|')");
    const QString whole = m_hook.eval(dates).toString();
    QVERIFY2(
        QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\|")).match(whole).hasMatch(),
        qPrintable(whole));
    QVERIFY(m_hook
                .eval(QStringLiteral("var g = testHook.find('revolutionsGraph'); g.height - g.plotRect().y - "
                                     "g.plotRect().height >= 2.2 * g.rangeLabelPixelSize"))
                .toBool());
    for (int i = 0; i < 60; ++i)
        m_hook.eval(QStringLiteral("testHook.find('zoomInButton').clicked()"));
    QCOMPARE(m_hook.eval(chart + QStringLiteral(".zoom")).toDouble(), qMax(1.0, bins / 100));
    QVERIFY(m_hook.waitFor(dates + QStringLiteral(" !== ") + HookClient::literal(whole), 10000));
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
    QVERIFY2(selection.startsWith(QStringLiteral("Totals: ")) && selection.contains(QStringLiteral("\nMaximum: ")) &&
                 selection.contains(QStringLiteral("\nMinimum: ")),
             qPrintable(selection));
    m_hook.eval(QStringLiteral("testHook.find('exportButton').clicked()"));
    QVERIFY(
        m_hook.waitFor(QStringLiteral("testHook.find('exportDialog') && testHook.find('exportDialog').opened"), 10000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("export-dialog.png"))));
    QCOMPARE(m_hook.eval(QStringLiteral("testHook.find('limitToSelection').checked")).toBool(), true);
    m_hook.eval(chart + QStringLiteral(".clearSelection()"));
    m_hook.eval(QStringLiteral("testHook.find('exportDialog').selection = null"));

    struct Case {
        int format;
        QString cli;
        QStringList args;
    };
    // Readings 100..400 in gallons, computed mode: the CLI gets the same numbers in gallons.
    const double total = m_hook.eval(screen() + QStringLiteral(".totalPulses")).toDouble();
    const QString perPulse = QString::number(300.0 / total, 'g', 17);
    const QStringList grouped{QStringLiteral("--interval-s"),
                              QStringLiteral("10"),
                              QStringLiteral("--unit"),
                              QStringLiteral("Gallons"),
                              QStringLiteral("--units-per-pulse"),
                              perPulse,
                              QStringLiteral("--initial-reading"),
                              QStringLiteral("100"),
                              QStringLiteral("--end-reading"),
                              QStringLiteral("400")};
    const QList<Case> cases{{0, QStringLiteral("rlog"), {}},         {1, QStringLiteral("xlsx"), grouped},
                            {2, QStringLiteral("mm100"), grouped},   {3, QStringLiteral("pulses"), {}},
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

static QString pdfText(const QString &pdf)
{
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
    return p.waitForFinished(60000) && p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : QString();
}

// The report from the dialog, limited to a selection, reads as the command line's report of the
// same log over the same dates; the window keeps drawing while it is written.
void LogsEndToEndTest::viewerWritesTheCustomerReportOfTheSelection()
{
    m_hook.eval(QStringLiteral("appLoader.item.openLogFile(%1)").arg(HookClient::literal(m_saved)));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".objectName === 'pulseLogViewer' && ") + screen() +
                               QStringLiteral(".totalPulses > 0"),
                           30000));
    QVERIFY(m_hook.waitFor(QStringLiteral("!testHook.find('screenStack').busy"), 20000));
    const QString chart = QStringLiteral("testHook.find('revolutionsChart')");
    QVERIFY(m_hook.waitFor(chart + QStringLiteral(".binCount > 0"), 20000));
    const double bins = m_hook.eval(chart + QStringLiteral(".binCount")).toDouble();
    m_hook.eval(chart +
                QStringLiteral(".setSelection(%1, %2)").arg(std::floor(bins / 4)).arg(std::floor(bins * 3 / 4)));
    m_hook.eval(QStringLiteral("testHook.find('exportButton').clicked()"));
    const QString dialog = QStringLiteral("testHook.find('exportDialog')");
    QVERIFY(m_hook.waitFor(dialog + QStringLiteral(" && ") + dialog + QStringLiteral(".opened"), 10000));
    m_hook.eval(dialog + QStringLiteral(".format = 7"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('pageBox').visible"), 10000));
    QCOMPARE(m_hook.eval(dialog + QStringLiteral(".limitToSelection")).toBool(), true);
    QVERIFY(m_hook.eval(dialog + QStringLiteral(".outputName")).toString().endsWith(QStringLiteral("_report.pdf")));
    QVERIFY(m_hook.grab(shot(QStringLiteral("export-dialog-report.png"))));

    const QString from = m_hook.eval(dialog + QStringLiteral(".selection[0].toISOString()")).toString();
    const QString to = m_hook.eval(dialog + QStringLiteral(".selection[1].toISOString()")).toString();
    const QString unit = m_hook.eval(dialog + QStringLiteral(".unit")).toString();
    const QString current = m_dir.filePath(QStringLiteral("report-source.rlog"));
    QVERIFY(m_hook.eval(screen() + QStringLiteral(".pulseLog.saveRaw(%1)").arg(HookClient::literal(current))).toBool());
    const QString gui = m_dir.filePath(QStringLiteral("gui-report.pdf"));
    m_hook.eval(dialog + QStringLiteral(".outputName = %1").arg(HookClient::literal(gui)));
    QVERIFY(m_hook.eval(dialog + QStringLiteral(".run()")).isNull());
    // The file appears whole (written aside and renamed); the dialog closes on its own after.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(gui), 60000);
    QVERIFY(m_hook.waitFor(QStringLiteral("!testHook.find('exportDialog')"), 20000));

    const QString cliPdf = m_dir.filePath(QStringLiteral("cli-report.pdf"));
    QProcess cli;
    cli.start(m_bin + QStringLiteral("/tarrowind-cli"),
              {QStringLiteral("report"), current, QStringLiteral("-o"), cliPdf, QStringLiteral("--from"), from,
               QStringLiteral("--to"), to, QStringLiteral("--unit"), unit});
    QVERIFY(cli.waitForFinished(120000));
    QVERIFY2(cli.exitCode() == 0, cli.readAllStandardError().constData());
    const QString text = pdfText(gui);
    QVERIFY2(text.contains(QStringLiteral("Period: ")), qPrintable(text));
    QCOMPARE(text, pdfText(cliPdf));
    m_hook.eval(chart + QStringLiteral(".clearSelection()"));
    m_hook.eval(QStringLiteral("globals.globalTrigger('screen.pop')"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('screenStack').depth === 1"), 20000));
}

void LogsEndToEndTest::clearFilesAsksFirstThenErases()
{
    openDeviceLogs();
    QVERIFY(m_hook.waitFor(
        screen() + QStringLiteral(".sessions.length === 2 && ") + screen() + QStringLiteral(".scanFinished"), 240000));
    m_hook.eval(QStringLiteral("testHook.find('clearFilesButton').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('clearFilesDialog').opened"), 10000));
    const QString question = m_hook.text(QStringLiteral("confirmQuestion"));
    // One of the two was saved above.
    QVERIFY2(question.contains(QStringLiteral("2 sessions")) &&
                 question.contains(QStringLiteral("1 of them has never")),
             qPrintable(question));
    QVERIFY(m_hook.grab(shot(QStringLiteral("clear-files-question.png"))));
    QCOMPARE(m_hook.eval(QStringLiteral("testHook.find('confirmStay').activeFocus")).toBool(), true);
    m_hook.eval(QStringLiteral("testHook.find('confirmStay').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("!testHook.find('clearFilesDialog')"), 10000));
    QCOMPARE(m_hook.eval(screen() + QStringLiteral(".clearing")).toBool(), false);
    QCOMPARE(m_hook.eval(screen() + QStringLiteral(".sessions.length")).toInt(), 2);

    m_hook.eval(QStringLiteral("testHook.find('clearFilesButton').clicked()"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('clearFilesDialog').opened"), 10000));
    m_hook.eval(QStringLiteral("testHook.find('confirmGo').clicked()"));
    QVERIFY(m_hook.waitForText(QStringLiteral("messageText"), QStringLiteral("Filesytem initialized successfully"),
                               240000));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('screenStack').depth === 1"), 20000));
    openDeviceLogs();
    QVERIFY(m_hook.waitFor(
        screen() + QStringLiteral(".scanFinished && ") + screen() + QStringLiteral(".sessions.length === 0"), 240000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("device-logs-empty.png"))));
}

// Distinct colours in a rectangle of the image: a view that paints nothing but its frame and
// title has a handful, one with samples, axes and planes many.
static int colourCount(const QImage &image, const QRect &r)
{
    QSet<QRgb> colours;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            colours.insert(image.pixel(x, y));
    return colours.size();
}

// The four views of the visualization, each as a rectangle of the window.
static QList<QRect> viewRects(HookClient &hook)
{
    QList<QRect> rects;
    for (int i = 0; i < 4; ++i) {
        const QJsonArray g =
            hook.eval(QStringLiteral("(function () { var v = testHook.find('deciderViews').itemAt(%1);"
                                     " var p = v.mapToItem(null, 0, 0); return [p.x, p.y, v.width, v.height] })()")
                          .arg(i))
                .toArray();
        rects << QRect(g.at(0).toInt(), g.at(1).toInt(), g.at(2).toInt(), g.at(3).toInt()).adjusted(2, 2, -2, -2);
    }
    return rects;
}

void LogsEndToEndTest::visualizationLearnsTheMagnetAndRelearns()
{
    m_hook.eval(QStringLiteral("globals.globalTrigger('screen.pop')"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('screenStack').depth === 1"), 20000));
    m_hook.eval(QStringLiteral("globals.settings.advanced = true"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('visualizationButton').visible"), 10000));
    m_hook.eval(QStringLiteral("testHook.find('visualizationButton').clicked()"));
    QVERIFY(m_hook.waitFor(
        screen() + QStringLiteral(".objectName === 'ellipticalScreen' && !testHook.find('screenStack').busy"), 20000));

    // From the serial logger the decider runs on the logger's own parameters; this one has
    // learned none, and "&Relearn Params" tells it to learn (counted below from its ground truth).
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".headerTitle === 'Ellipse Algo: Not Ready'"), 20000));
    m_hook.eval(QStringLiteral("globals.globalTrigger('ellipse.learn')"));

    // Thirty seconds of the logger's stream, captured to a file the decider can learn from here.
    m_hook.eval(QStringLiteral("globals.globalTrigger('capture.startstop')"));
    QVERIFY(m_hook.waitFor(QStringLiteral("globals.captureFileRecording.sampleCount >= 12000"), 180000));
    QVERIFY(m_hook.grab(shot(QStringLiteral("visualization-serial.png"))));
    m_hook.eval(QStringLiteral("globals.globalTrigger('capture.startstop')"));
    QVERIFY(
        m_hook.waitFor(QStringLiteral("testHook.find('messageText').text.indexOf('Capture saved to ') === 0"), 20000));
    const QString recording = m_hook.text(QStringLiteral("messageText")).mid(int(qstrlen("Capture saved to ")));
    QVERIFY2(QFileInfo(recording).size() > 12000 * 6, qPrintable(recording));

    // Played back, the decider learns the magnet's turning from scratch and counts it.
    m_hook.eval(QStringLiteral("globals.settings.setField('recordingSettings', 'filename', %1)")
                    .arg(HookClient::literal(recording)));
    m_hook.eval(QStringLiteral("globals.settings.dataSource = 'Recording Playback'"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".headerTitle.indexOf('Ellipse Algo: Running') === 0"), 180000));
    const QString log = QStringLiteral("globals.pulseLog");
    QVERIFY(m_hook.waitFor(log + QStringLiteral(".totalPulseCount >= 10"), 60000));
    // The eraser empties the rolling graph; it fills again turn by turn and shows every point of
    // its window; the newest, at age 0 and marked, is the turning rate.
    const QString graph = QStringLiteral("testHook.find('revolutionGraph')");
    m_hook.eval(QStringLiteral("testHook.find('clearPulsesButton').clicked()"));
    QVERIFY(m_hook.waitFor(graph + QStringLiteral(".dataPoints.every(function (p) { return p.y === 0 })"), 10000));
    QVERIFY(m_hook.waitFor(graph + QStringLiteral(".dataPoints.length >= 4"), 30000));
    const QJsonArray shown =
        m_hook
            .eval(QStringLiteral(
                      "(function () { var g = %1; var p = g.dataPoints; return [p.length, p[0].x, p[0].y, g.maxX,"
                      " p.every(function (q) { return q.x >= g.minX && q.x <= g.maxX }),"
                      " g.labelledPoints[0].point.x, g.labelledPoints[0].point.y] })()")
                      .arg(graph))
            .toArray();
    QVERIFY2(shown.at(0).toInt() >= 4 && shown.at(1).toDouble() == 0 && shown.at(4).toBool(),
             QJsonDocument(shown).toJson(QJsonDocument::Compact).constData());
    const double rate = shown.at(2).toDouble();
    QVERIFY2(rate > kRevolutionsPerSecond * 0.75 && rate < kRevolutionsPerSecond * 1.25,
             qPrintable(QString::number(rate)));
    QVERIFY2(shown.at(5).toDouble() == 0 && shown.at(6).toDouble() == rate,
             QJsonDocument(shown).toJson(QJsonDocument::Compact).constData());
    // Counted over ten seconds the pulses keep pace with the magnet (a loaded host may lag,
    // never gain).
    const double first = m_hook.eval(log + QStringLiteral(".totalPulseCount")).toDouble();
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(10000);
    const double counted =
        (m_hook.eval(log + QStringLiteral(".totalPulseCount")).toDouble() - first) * 1000 / clock.elapsed();
    QVERIFY2(counted > kRevolutionsPerSecond * 0.6 && counted < kRevolutionsPerSecond * 1.1,
             qPrintable(QString::number(counted)));

    // Every one of the four views paints the decider's state: far more than its frame and title.
    const QString path = shot(QStringLiteral("visualization.png"));
    QVERIFY(m_hook.grab(path));
    const QImage image(path);
    const QList<QRect> views = viewRects(m_hook);
    for (int i = 0; i < views.size(); ++i) {
        const QRect r = views.at(i).intersected(image.rect());
        QVERIFY2(r.width() > 50 && r.height() > 50, qPrintable(QString::number(i)));
        const int colours = colourCount(image, r);
        QVERIFY2(colours > 40, qPrintable(QStringLiteral("view %1: %2 colours").arg(i).arg(colours)));
    }
    QVERIFY(m_hook.text(QStringLiteral("messageText")) != QLatin1String("Algorithm parameter deserialize failed."));

    // "&Relearn Params" with a local source learns here again, in the background.
    m_hook.eval(QStringLiteral("globals.globalTrigger('ellipse.learn')"));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".headerTitle === 'Ellipse Algo: Running (background learning)'"),
                           10000));
    QVERIFY(m_hook.waitFor(screen() + QStringLiteral(".headerTitle === 'Ellipse Algo: Running'"), 180000));

    m_hook.eval(QStringLiteral("globals.settings.dataSource = 'Serial'"));
    m_hook.eval(QStringLiteral("globals.globalTrigger('screen.pop')"));
    QVERIFY(m_hook.waitFor(QStringLiteral("testHook.find('screenStack').depth === 1"), 20000));
    m_sim.terminate();
    QVERIFY(m_sim.waitForFinished(30000));
    QFile device(m_dir.filePath(QStringLiteral("truth/device.json")));
    QVERIFY(device.open(QIODevice::ReadOnly));
    // Resends of an unanswered request (a loaded host) are the protocol's own: what counts is
    // how often the window asked.
    const QJsonObject requests =
        QJsonDocument::fromJson(device.readAll()).object().value(QStringLiteral("distinctRequests")).toObject();
    QVERIFY2(requests.value(QStringLiteral("C2S_LearnAlgorithmParameters")).toInt() == 1,
             QJsonDocument(requests).toJson(QJsonDocument::Compact).constData());
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
