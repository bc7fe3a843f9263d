// tarrowind-sim as a program: options, the pty it prints, ground truth at start and exit.

#include "WaitUntil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
class SimProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        program = qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-sim");
        if (!QFileInfo(program).isExecutable())
            GTEST_SKIP() << "tarrowind-sim not built at " << program.toStdString();
        dir = QStringLiteral("%1/tw-simprogram-%2").arg(QDir::tempPath()).arg(::getpid());
        QDir(dir).removeRecursively();
    }
    void TearDown() override { QDir(dir).removeRecursively(); }

    QString program;
    QString dir;
};

// Generous: on a loaded machine the simulator's process can wait seconds for a CPU.
QByteArray exchange(int fd, const QByteArray &out, int expected, int timeoutMs = 20000)
{
    if (!out.isEmpty() && ::write(fd, out.constData(), size_t(out.size())) != out.size())
        return {};
    QByteArray in;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (in.size() < expected && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            char buf[512];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                in.append(buf, int(n));
        }
    }
    return in;
}
}  // namespace

TEST_F(SimProgram, HelpAndBadOptions)
{
    QProcess p;
    p.start(program, {QStringLiteral("--help")});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0);
    const QString help = QString::fromUtf8(p.readAllStandardOutput());
    for (const char *option :
         {"--link", "--seed", "--sessions", "--patch-level", "--baud-limit", "--fault-drop", "--fault-corrupt",
          "--fault-delay-ms", "--mode", "--sample-hz", "--rev-per-s", "--write-ground-truth"})
        EXPECT_TRUE(help.contains(QLatin1String(option))) << option;

    for (const QStringList &bad :
         {QStringList{QStringLiteral("--bogus")}, QStringList{QStringLiteral("--mode"), QStringLiteral("sleeping")},
          QStringList{QStringLiteral("--fault-drop"), QStringLiteral("1.5")}, QStringList{QStringLiteral("--seed")}}) {
        p.start(program, bad);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().startsWith("tarrowind-sim: "));
    }
}

TEST_F(SimProgram, VersionAndStrayArguments)
{
    QProcess p;
    p.start(program, {QStringLiteral("--version")});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(p.readAllStandardOutput().startsWith("tarrowind-sim "));
    // A word that is no option is refused rather than ignored, as is a flag given a value.
    for (const QStringList &bad : {QStringList{QStringLiteral("7")}, QStringList{QStringLiteral("--wrap=yes")}}) {
        p.start(program, bad);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().startsWith("tarrowind-sim: "));
    }
}

TEST_F(SimProgram, BootloaderScenarioWritesGroundTruthAtStartAndExit)
{
    const QString link = dir + QStringLiteral("-link");
    QProcess p;
    p.start(program, {QStringLiteral("--seed"), QStringLiteral("9"), QStringLiteral("--sessions"), QStringLiteral("2"),
                      QStringLiteral("--mode"), QStringLiteral("bootloader"), QStringLiteral("--link"), link,
                      QStringLiteral("--write-ground-truth"), dir});
    ASSERT_TRUE(p.waitForReadyRead(20000));
    const QString ptyPath = QString::fromLocal8Bit(p.readLine()).trimmed();
    EXPECT_TRUE(ptyPath.startsWith(QLatin1String("/dev/")));
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), ptyPath);
    // The start-up truth is complete when the path is printed.
    EXPECT_EQ(QFileInfo(dir + QStringLiteral("/mcu-flash.bin")).size(), 256 * 1024);
    EXPECT_TRUE(QFile::exists(dir + QStringLiteral("/sessions.json")));
    EXPECT_EQ(QFileInfo(dir + QStringLiteral("/state-export.bin")).size(), 528);
    EXPECT_EQ(QDir(dir).entryList({QStringLiteral("session-*.rlog")}).size(), 2);

    // Program four bytes through the bootloader over the pty (AN3155 Write Memory).
    const int fd = ::open(link.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    EXPECT_EQ(exchange(fd, QByteArray(1, '\x7f'), 1), QByteArray(1, '\x79'));
    EXPECT_EQ(exchange(fd, QByteArray("\x31\xce", 2), 1), QByteArray(1, '\x79'));
    EXPECT_EQ(exchange(fd, QByteArray("\x08\x00\x00\x00\x08", 5), 1), QByteArray(1, '\x79'));
    const QByteArray data("\x03\xde\xad\xbe\xef", 5);
    char x = 0;
    for (char c : data)
        x ^= c;
    EXPECT_EQ(exchange(fd, data + QByteArray(1, x), 1), QByteArray(1, '\x79'));
    ::close(fd);

    // SIGUSR2 restarts the logger; SIGUSR1 twice pulls the cable and plugs it back in.
    ::kill(pid_t(p.processId()), SIGUSR2);
    ::kill(pid_t(p.processId()), SIGUSR1);
    EXPECT_TRUE(waitUntil([&] { return !QFileInfo::exists(ptyPath); }, 20000)) << "unplugged";
    ::kill(pid_t(p.processId()), SIGUSR1);
    ASSERT_TRUE(p.waitForReadyRead(20000));
    const QString newPty = QString::fromLocal8Bit(p.readLine()).trimmed();
    EXPECT_TRUE(newPty.startsWith(QLatin1String("/dev/")));
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), newPty);

    p.terminate();  // SIGTERM
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    QFile mcu(dir + QStringLiteral("/mcu-flash.bin"));
    ASSERT_TRUE(mcu.open(QIODevice::ReadOnly));
    EXPECT_EQ(mcu.read(5), QByteArray("\xde\xad\xbe\xef\xff", 5)) << "the exit truth shows what the host changed";
    QFile json(dir + QStringLiteral("/device.json"));
    ASSERT_TRUE(json.open(QIODevice::ReadOnly));
    const QJsonObject device = QJsonDocument::fromJson(json.readAll()).object();
    EXPECT_EQ(device.value(QStringLiteral("mode")).toString(), QStringLiteral("firmware")) << "restarted";
    EXPECT_EQ(device.value(QStringLiteral("restarts")).toInt(), 1);
    EXPECT_FALSE(QFileInfo::exists(link)) << "the link goes with the program";
}

// A harness that dies (its own time-out aborts it) takes the virtual logger with it, so the
// logger cannot hold the harness's output open and keep the test runner waiting.
TEST_F(SimProgram, GoesWithTheHarnessThatStartedIt)
{
    QProcess harness;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TW_SIM_EXIT_WITH_PARENT"), QStringLiteral("1"));
    harness.setProcessEnvironment(env);
    harness.start(QStringLiteral("/bin/sh"),
                  {QStringLiteral("-c"), QStringLiteral("\"$0\" --sessions 1 & echo $!; exec sleep 600"), program});
    ASSERT_TRUE(waitUntil([&] { return harness.canReadLine(); }, 20000));
    const pid_t sim = pid_t(harness.readLine().trimmed().toInt());
    ASSERT_GT(sim, 0);
    ASSERT_TRUE(waitUntil([&] { return harness.bytesAvailable() > 0 || harness.canReadLine(); }, 20000))
        << "the virtual logger printed its pty";
    const auto alive = [sim] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(sim));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray fields = stat.readAll();
        const int end = fields.lastIndexOf(')');
        return end > 0 && fields.mid(end + 2, 1) != "Z";
    };
    ASSERT_TRUE(alive());
    harness.kill();
    ASSERT_TRUE(harness.waitForFinished(20000));
    EXPECT_TRUE(waitUntil([&] { return !alive(); }, 20000)) << "the virtual logger outlived its harness";
    if (alive())
        ::kill(sim, SIGKILL);
}
