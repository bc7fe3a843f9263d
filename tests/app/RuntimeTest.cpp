// Runtime: file names, US-English numbers on a German system, external commands, and the
// one-job-at-a-time port enumeration.
#include "app/Runtime.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

void touch(const QString &path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
}

// An enumeration that holds its pool thread until released.
struct Gate {
    std::atomic<int> calls{0};
    std::atomic<bool> open{false};
    Runtime::PortEnumerator enumerator()
    {
        return [this] {
            const int n = ++calls;
            while (!open.load())
                std::this_thread::yield();
            return QVariantMap{{QStringLiteral("COM%1").arg(n), QVariantMap{{"autodetectedTarrowind", true}}}};
        };
    }
};
}  // namespace

class RuntimeTest : public QObject
{
    Q_OBJECT

private slots:
    void unusedFileNames()
    {
        Runtime runtime([] { return QVariantMap(); }, nullptr);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString log = QDir::toNativeSeparators(dir.filePath("log.csv"));

        QCOMPARE(runtime.findUnusedFileName("no-folder-part.csv"), QString("no-folder-part.csv"));
        QCOMPARE(runtime.findUnusedFileName(log), log);
        touch(log);
        touch(dir.filePath("log(2).csv"));
        QCOMPARE(runtime.findUnusedFileName(dir.path() + "/log.csv"),
                 QDir::toNativeSeparators(dir.filePath("log(3).csv")));

        // Without suffix the copy number is followed by a bare dot.
        touch(dir.filePath("name"));
        QCOMPARE(runtime.findUnusedFileName(dir.filePath("name")), QDir::toNativeSeparators(dir.filePath("name(2).")));
        // Only the last suffix moves behind the number.
        touch(dir.filePath("a.tar.gz"));
        QCOMPARE(runtime.findUnusedFileName(dir.filePath("a.tar.gz")),
                 QDir::toNativeSeparators(dir.filePath("a.tar(2).gz")));

        // Every number up to 998 taken: no name at all, never the existing file.
        touch(dir.filePath("full.rlog"));
        for (int n = 2; n <= 997; ++n)
            touch(dir.filePath(QStringLiteral("full(%1).rlog").arg(n)));
        QCOMPARE(runtime.findUnusedFileName(dir.filePath("full.rlog")),
                 QDir::toNativeSeparators(dir.filePath("full(998).rlog")));
        touch(dir.filePath("full(998).rlog"));
        QCOMPARE(runtime.findUnusedFileName(dir.filePath("full.rlog")), QString());
    }

    void pathHelpers()
    {
        Runtime runtime([] { return QVariantMap(); }, nullptr);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        touch(dir.filePath("session.rlog"));

        QCOMPARE(runtime.replaceDotExt("/data/logs/session.1.rlog", "_grouped_10s.csv"),
                 QDir::toNativeSeparators("/data/logs/session.1_grouped_10s.csv"));
        QCOMPARE(runtime.replaceDotExt("session", ".csv"), QDir::toNativeSeparators("./session.csv"));
        QCOMPARE(runtime.pathFromFile("logs/a.csv"), QString("logs"));
        QCOMPARE(runtime.pathFromFile("a.csv"), QString("."));
        QCOMPARE(runtime.filenameFromFile("/data/logs/a b.csv"), QString("a b.csv"));
        QCOMPARE(runtime.parentFolder(dir.filePath("session.rlog")), dir.path());
        QCOMPARE(runtime.parentFolderIfFile(dir.filePath("session.rlog")), dir.path());
        QCOMPARE(runtime.parentFolderIfFile(dir.path()), dir.path());
        QCOMPARE(runtime.parentFolderIfFile(dir.filePath("missing.rlog")), dir.filePath("missing.rlog"));

        // Blanks, '#', '%' and non-ASCII survive the round trip through a fully encoded URL.
        const QString odd = QString::fromUtf8("/tmp/Z\xc3\xa4hler #1 100%.rlog");
        const QString url = runtime.urlFromLocalFile(odd);
        QVERIFY(url.startsWith("file:///tmp/Z%C3%A4hler%20%231%20100%25.rlog"));
        QCOMPARE(runtime.urlToLocalFile(url), odd);
        QCOMPARE(runtime.urlToLocalFile("not a url"), QString());
    }

    void numbersIgnoreTheSystemLocale()
    {
        // Make sure the user's locale really is a different one.
        if (QLocale::system().groupSeparator() != QChar('.'))
            QSKIP("the system locale is not the German one: start with LC_ALL=de_DE.UTF-8");
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        Runtime runtime([] { return QVariantMap(); }, nullptr);
        QCOMPARE(runtime.localeFormatInteger(1234567), QString("1,234,567"));
        QCOMPARE(runtime.localeFormatInteger(-999), QString("-999"));
        QCOMPARE(runtime.localeFormatInteger(std::numeric_limits<qint64>::min()),
                 QString("-9,223,372,036,854,775,808"));
        QCOMPARE(runtime.localeFormatDouble(1234.5, 2), QString("1,234.50"));
        QCOMPARE(runtime.localeFormatDouble(-0.125, 1), QString("-0.1"));
        QCOMPARE(runtime.localeFormatDouble(999999.5, 0), QString("1,000,000"));
        QCOMPARE(runtime.localeFormatDouble(2.5, -3), QString("3"));
        QLocale::setDefault(QLocale::c());
    }

    void externalCommands()
    {
        Runtime runtime([] { return QVariantMap(); }, nullptr);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString script = dir.filePath("exit7.sh");
        {
            QFile f(script);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("#!/bin/sh\n[ \"$1\" = a ] && [ \"$2\" = b ] && exit 7\nexit 3\n");
        }
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QCOMPARE(runtime.executeSystemCommand("  true  "), 0);
        QCOMPARE(runtime.executeSystemCommand("false"), 1);
        QCOMPARE(runtime.executeSystemCommand(script + " \t a    b"), 7);
        // A command that never ran is not a success.
        QCOMPARE(runtime.executeSystemCommand(dir.filePath("no-such-program")), -1);
        QCOMPARE(runtime.executeSystemCommand("   "), -1);
        QVERIFY(runtime.fireAndForgetSystemCommand("true"));
        QVERIFY(!runtime.fireAndForgetSystemCommand(dir.filePath("no-such-program")));
        QVERIFY(!runtime.fireAndForgetSystemCommand(""));
    }

    void loadFileAsString()
    {
        Runtime runtime([] { return QVariantMap(); }, nullptr);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile f(dir.filePath("t.html"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("Z\xc3\xa4hler\r\n");
        f.close();
        QCOMPARE(runtime.loadFileAsString(f.fileName()), QString::fromUtf8("Z\xc3\xa4hler\r\n"));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Could not open file .*missing"));
        QCOMPARE(runtime.loadFileAsString(dir.filePath("missing")), QString());
        QVERIFY(runtime.secondsSinceStart() >= 0.0);
    }

    void oneEnumerationAtATime()
    {
        Gate gate;
        Runtime runtime(gate.enumerator(), nullptr);
        QSignalSpy enumerating(&runtime, &Runtime::enumeratingSerialPortsChanged);
        QSignalSpy changed(&runtime, &Runtime::serialPortsChanged);
        // The constructor already started the first run.
        QVERIFY(runtime.enumeratingSerialPorts());
        for (int i = 0; i < 5; ++i)
            runtime.enumerateSerialPorts();
        QTRY_COMPARE_WITH_TIMEOUT(gate.calls.load(), 1, 10000);
        QCOMPARE(enumerating.count(), 0);

        gate.open = true;
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 10000);
        QCOMPARE(enumerating.count(), 1);
        QCOMPARE(enumerating.at(0).at(0).toBool(), false);
        QVERIFY(!runtime.enumeratingSerialPorts());
        QCOMPARE(runtime.serialPorts().keys(), QStringList({"COM1"}));
        QCOMPARE(runtime.serialPorts()["COM1"].toMap()["autodetectedTarrowind"].toBool(), true);

        // The next request starts a new run and reports it once; each finished run notifies.
        runtime.enumerateSerialPorts();
        runtime.enumerateSerialPorts();
        QCOMPARE(enumerating.count(), 2);
        QCOMPARE(enumerating.at(1).at(0).toBool(), true);
        QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 2, 10000);
        QCOMPARE(gate.calls.load(), 2);
        QCOMPARE(runtime.serialPorts().keys(), QStringList({"COM2"}));
        QTRY_COMPARE_WITH_TIMEOUT(enumerating.count(), 3, 10000);
    }

    void destroyedWhileEnumerating()
    {
        // The destructor waits for the job, which then must not reach the dead object.
        Gate gate;
        auto *runtime = new Runtime(gate.enumerator(), nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(gate.calls.load(), 1, 10000);
        std::thread opener([&gate] {
            std::this_thread::yield();
            gate.open = true;
        });
        delete runtime;
        opener.join();
        QCoreApplication::processEvents();
    }
};

// Numbers must come out in US English whatever the user's locale: this one groups with dots. Set
// before the application object, as a user's would be, whoever starts the test (a setting made
// by a static initialiser can come after Qt has already read the system locale).
int main(int argc, char **argv)
{
    qputenv("LC_ALL", "de_DE.UTF-8");
    QCoreApplication app(argc, argv);
    RuntimeTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "RuntimeTest.moc"
