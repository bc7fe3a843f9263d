#include "app/Startup.h"
#include "app/LogFile.h"
#include "app/QmlRegistration.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QFile>
#include <QMetaMethod>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>

TEST(StartupMode, RepairNeedsExactVerbAndArgument)
{
    EXPECT_EQ(decideStartupMode({"prog"}), StartupMode::Normal);
    EXPECT_EQ(decideStartupMode({}), StartupMode::Normal);
    EXPECT_EQ(decideStartupMode({"prog", "fixftdi"}), StartupMode::Normal);
    EXPECT_EQ(decideStartupMode({"prog", "FixFtdi", "QQ=="}), StartupMode::Normal);
    EXPECT_EQ(decideStartupMode({"prog", " fixftdi", "QQ=="}), StartupMode::Normal);
    EXPECT_EQ(decideStartupMode({"prog", "fixftdi2", "QQ=="}), StartupMode::Normal);
    EXPECT_EQ(decideStartupMode({"prog", "x", "fixftdi", "QQ=="}), StartupMode::Normal);
    EXPECT_EQ(decideStartupMode({"prog", "fixftdi", "QQ=="}), StartupMode::AdapterRepair);
    EXPECT_EQ(decideStartupMode({"prog", "fixftdi", "QQ==", "extra"}), StartupMode::AdapterRepair);
    EXPECT_EQ(decideStartupMode({"prog", "--version"}), StartupMode::Version);
    EXPECT_EQ(decideStartupMode({"prog", "-h"}), StartupMode::Help);
    EXPECT_EQ(decideStartupMode({"prog", "--port", "--help"}), StartupMode::Normal);
}

TEST(StartupMode, RepairModeLogsDecodedTextWithoutApplicationObject)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    qputenv("XDG_DATA_HOME", home.path().toUtf8());

    const QString path = QString::fromUtf8("C:\\Users\\Jos\xc3\xa9\\\xe6\x97\xa5\xe6\x9c\xac\\fix.txt");
    const QString b64 = QString::fromLatin1(path.toUtf8().toBase64());
    QByteArray argv0 = "/opt/tarrowind/tarrowind-utility";
    char *argv[] = {argv0.data(), nullptr};
    const int code = runApplication(1, argv, {QString::fromLatin1(argv0), "fixftdi", b64});

    EXPECT_EQ(code, 1);  // the repair cannot succeed here
    EXPECT_EQ(QCoreApplication::instance(), nullptr);

    // The identity is set before the mode is decided, so the log lands in the normal folder.
    const QString logPath = home.path() + "/Ombrellix/Tarrowind Utility/ftdi-fix.txt";
    EXPECT_EQ(applicationDataFolder() + "/ftdi-fix.txt", logPath);
    QFile f(logPath);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromLocal8Bit(f.readAll());
    EXPECT_TRUE(text.contains("[Debug]: ftdiElevatedFix " + path)) << text.toStdString();
}

// Our classes never mark ownership for the QML engine: what they create reaches QML through
// properties and signals, which leave it to C++. Only an invokable's or a slot's result goes to
// the engine (and is deleted by it when unparented), so the one such result is the log's clone.
TEST(QmlRegistration, OnlyTheCloneHandsAnObjectToTheEngine)
{
    registerQmlTypes();
    QStringList handedOver;
    for (int id = QMetaType::User; QMetaType::isRegistered(id); ++id) {
        if (!(QMetaType::typeFlags(id) & QMetaType::PointerToQObject))
            continue;
        // Qt's own classes (their names start "Q" and a capital) keep Qt's rules.
        for (const QMetaObject *mo = QMetaType::metaObjectForType(id);
             mo && !QRegularExpression("^Q[A-Z]").match(mo->className()).hasMatch(); mo = mo->superClass()) {
            for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
                const QMetaMethod m = mo->method(i);
                if (m.methodType() != QMetaMethod::Signal && QByteArray(m.typeName()).endsWith('*') &&
                    m.name() != "qmlClone")
                    handedOver << mo->className() + QStringLiteral("::") + m.methodSignature();
            }
        }
    }
    EXPECT_TRUE(handedOver.isEmpty()) << handedOver.join(' ').toStdString();
}

TEST(StartupMode, DecodesBase64AsUtf8)
{
    EXPECT_EQ(decodeRepairArgument("w6TDtsO8"), QString::fromUtf8("\xc3\xa4\xc3\xb6\xc3\xbc"));
    EXPECT_EQ(decodeRepairArgument(""), QString());
}

// Background work still running at exit (a port enumeration, a graph image) logs when it ends;
// the shutdown waits for it, so its last words reach the log file before that closes.
TEST(StartupShutdown, BackgroundTasksFinishBeforeTheLogCloses)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("runlog.txt");
    installLogFile(path);
    QSemaphore started;
    QThreadPool::globalInstance()->start([&started] {
        started.release();
        QThread::msleep(300);  // the work the task does
        qInfo("background task done");
    });
    ASSERT_TRUE(started.tryAcquire(1, 30000));
    shutdownNormalMode(nullptr, nullptr);
    EXPECT_EQ(QThreadPool::globalInstance()->activeThreadCount(), 0);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("[Info ]: background task done"));
}
