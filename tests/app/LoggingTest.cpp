#include "app/LogFile.h"
#include "app/LogSignaller.h"
#include "MessageCapture.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

namespace {
QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromLocal8Bit(f.readAll());
    if (text.endsWith('\n'))
        text.chop(1);
    return text.split('\n');
}

std::atomic<int> g_concurrentPreviousCalls{0};
void concurrentCountingHandler(QtMsgType, const QMessageLogContext &, const QString &)
{
    ++g_concurrentPreviousCalls;
}
}  // namespace

class LoggingTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        // Stands for the handler that was in place before the log file's.
        previous = std::make_unique<MessageCapture>();
        path = dir.path() + "/sub/folder/runlog.txt";
        installLogFile(path);
    }
    void cleanup()
    {
        closeLogFile();
        previous.reset();
    }

    void formatsEverySeverity()
    {
        QCOMPARE(formatLogLine(QtDebugMsg, 12.34, "a"), QString("00000012.34 [Debug]: a"));
        QCOMPARE(formatLogLine(QtWarningMsg, 0.0, "b"), QString("00000000.00 [Warn ]: b"));
        QCOMPARE(formatLogLine(QtCriticalMsg, 1.005, "c").left(22), QString("00000001.00 [Crit ]: c").left(22));
        QCOMPARE(formatLogLine(QtFatalMsg, 99999999.99, "d"), QString("99999999.99 [Fatal]: d"));
        QCOMPARE(formatLogLine(QtInfoMsg, 3.5, "e"), QString("00000003.50 [Info ]: e"));
        // Placeholders inside the message are not expanded again.
        QCOMPARE(formatLogLine(QtDebugMsg, 1, "50% %1 %2"), QString("00000001.00 [Debug]: 50% %1 %2"));
    }

    void writesTrimmedLinesAndChains()
    {
        qDebug("first");
        qWarning("  padded message \n\n");
        qInfo("line one\nline two");
        const QStringList lines = readLines(path);
        QCOMPARE(lines.size(), 4);
        QRegularExpression re("^\\d{8}\\.\\d{2} \\[Debug\\]: first$");
        QVERIFY2(re.match(lines[0]).hasMatch(), qPrintable(lines[0]));
        // Only the ends of the whole line are trimmed; blanks after the tag stay.
        QVERIFY2(lines[1].endsWith("[Warn ]:   padded message"), qPrintable(lines[1]));
        QVERIFY(lines[2].endsWith("[Info ]: line one"));
        QCOMPARE(lines[3], QString("line two"));
        // The previous handler sees the original, untrimmed text.
        QCOMPARE(previous->messages().size(), 3);
        QCOMPARE(previous->messages().last(), QString("line one\nline two"));
    }

    void dropsNoiseEverywhere()
    {
        QSignalSpy spy(logSignaller(), &LogSignaller::logMessage);
        qWarning("QMetaProperty::read: Unable to handle unregistered datatype 'QQmlWebChannel*' for x");
        qDebug("js: Uncaught ReferenceError: writeEscaped is not defined");
        qDebug(" js: Uncaught ReferenceError: writeEscaped");  // not a prefix match: kept
        QCoreApplication::processEvents();
        QCOMPARE(readLines(path).size(), 1);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(previous->messages().size(), 1);
    }

    void forwardsDirectlyAndQueued()
    {
        QThread *receivedIn = nullptr;
        QString received;
        connect(
            logSignaller(), &LogSignaller::logMessage, this,
            [&](QtMsgType type, const QString &line) {
                receivedIn = QThread::currentThread();
                received = line;
                QCOMPARE(type, QtCriticalMsg);
            },
            Qt::DirectConnection);
        qCritical("from gui");
        QCOMPARE(receivedIn, QThread::currentThread());
        QVERIFY(received.endsWith("[Crit ]: from gui"));

        receivedIn = nullptr;
        QThread *worker = QThread::create([] { qCritical("from worker"); });
        worker->start();
        worker->wait();
        // Queued: nothing arrives until the GUI thread's event loop runs.
        QVERIFY(receivedIn == nullptr);
        QTRY_VERIFY(receivedIn != nullptr);
        QCOMPARE(receivedIn, QThread::currentThread());
        QVERIFY(received.endsWith("[Crit ]: from worker"));
        delete worker;
    }

    // A pane opened late still sees what came before it, but never more than the bound.
    void keepsABoundedBacklog()
    {
        LogSignaller *s = logSignaller();
        s->clearBacklog();
        std::unique_ptr<QThread> worker(QThread::create([] {
            for (int i = 0; i < LogSignaller::kBacklogLines + 5; ++i)
                qInfo("line %d", i);
        }));
        worker->start();
        worker->wait();
        QTRY_VERIFY(s->backlog().size() == LogSignaller::kBacklogLines &&
                    s->backlog().last().endsWith(QStringLiteral("line %1").arg(LogSignaller::kBacklogLines + 4)));
        QVERIFY(s->backlog().first().endsWith(QStringLiteral("[Info ]: line 5")));
        s->clearBacklog();
        qWarning("after clear");
        QCOMPARE(s->backlog().size(), 1);
    }

    void secondStartTruncates()
    {
        qDebug("old run");
        closeLogFile();
        installLogFile(path);
        qDebug("new run");
        const QStringList lines = readLines(path);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines[0].endsWith("new run"));
    }

    void unwritableFileKeepsDefaultHandler()
    {
        closeLogFile();
        installLogFile(dir.path());  // a folder cannot be opened as a file
        QVERIFY(logSignaller() != nullptr);
        QSignalSpy spy(logSignaller(), &LogSignaller::logMessage);
        qDebug("goes only to the previous handler");
        QCoreApplication::processEvents();
        QCOMPARE(spy.count(), 0);
        QCOMPARE(previous->messages().size(), 1);
    }

    // Worker threads log on while the log closes (the end of a run): nothing is written to a
    // closed file or forwarded to a deleted signaller, every line in the file is whole, and
    // every message still reaches the previous handler.
    void closeWhileOtherThreadsLog()
    {
        closeLogFile();
        qInstallMessageHandler(concurrentCountingHandler);
        installLogFile(path);
        std::atomic<bool> stop{false};
        std::atomic<int> logged{0};
        std::vector<QThread *> threads;
        for (int i = 0; i < 4; ++i) {
            threads.push_back(QThread::create([&stop, &logged, i] {
                for (int n = 0; !stop.load(); ++n) {
                    qDebug("thread %d line %d", i, n);
                    ++logged;
                }
            }));
            threads.back()->start();
        }
        QTRY_VERIFY_WITH_TIMEOUT(logged.load() > 400, 30000);
        closeLogFile();
        const int atClose = logged.load();
        QTRY_VERIFY_WITH_TIMEOUT(logged.load() > atClose + 400, 30000);
        stop = true;
        for (QThread *t : threads) {
            QVERIFY(t->wait(30000));
            delete t;
        }
        QCOMPARE(g_concurrentPreviousCalls.load(), logged.load());
        const QStringList lines = readLines(path);
        QVERIFY(lines.size() >= 400);
        const QRegularExpression whole("^\\d{8}\\.\\d{2} \\[Debug\\]: thread \\d line \\d+$");
        for (const QString &line : lines)
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line));
    }

private:
    std::unique_ptr<MessageCapture> previous;
    QTemporaryDir dir;
    QString path;
};

QTEST_GUILESS_MAIN(LoggingTest)
#include "LoggingTest.moc"
