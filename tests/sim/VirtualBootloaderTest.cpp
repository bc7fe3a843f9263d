// The virtual STM32 system bootloader, driven with raw AN3155 byte sequences and by Debian's
// stm32flash over a pseudo-terminal.
#include "sim/VirtualBootloader.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr char ACK = 0x79;
constexpr char NACK = 0x1F;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray withXor(QByteArray bytes)
{
    char x = 0;
    for (char c : bytes)
        x ^= c;
    return bytes + QByteArray(1, x);
}

QByteArray address(quint32 a)
{
    QByteArray b(4, 0);
    b[0] = char(a >> 24);
    b[1] = char(a >> 16);
    b[2] = char(a >> 8);
    b[3] = char(a);
    return withXor(b);
}

class VirtualBootloaderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(bl.receive(hex("7f")), QByteArray(1, ACK)); }

    // Write Memory in the three phases of AN3155; returns the three answers concatenated.
    QByteArray writeMemory(quint32 at, const QByteArray &data)
    {
        return feed({hex("31ce"), address(at), withXor(QByteArray(1, char(data.size() - 1)) + data)});
    }

    QByteArray readMemory(quint32 at, int length)
    {
        QByteArray answers = bl.receive(hex("11ee"));
        answers += bl.receive(address(at));
        const char n = char(length - 1);
        answers += bl.receive(QByteArray(1, n) + QByteArray(1, char(~n)));
        return answers;
    }

    // Feeds the pieces in order (an expression "a + b" would not fix the order of the calls).
    QByteArray feed(std::initializer_list<QByteArray> pieces)
    {
        QByteArray answers;
        for (const QByteArray &piece : pieces)
            answers += bl.receive(piece);
        return answers;
    }

    VirtualBootloader bl;
};

TEST(VirtualBootloaderSync, WaitsForTheSyncByteAndNacksARepeatedOne)
{
    VirtualBootloader bl;
    EXPECT_TRUE(bl.receive(hex("00ff0102aa55")).isEmpty());  // not yet listening
    EXPECT_FALSE(bl.synchronised());
    EXPECT_EQ(bl.receive(hex("7f")), QByteArray(1, ACK));
    // A second sync is taken as the first byte of a command; the next byte completes it.
    EXPECT_TRUE(bl.receive(hex("7f")).isEmpty());
    EXPECT_EQ(bl.receive(hex("7f")), QByteArray(1, NACK));
    EXPECT_EQ(bl.receive(hex("7f7f")), QByteArray(1, NACK));
    // reset() is a fresh entry into system memory: half a command is forgotten.
    bl.receive(hex("31"));
    bl.reset();
    EXPECT_EQ(bl.receive(hex("7f")), QByteArray(1, ACK));
}

TEST_F(VirtualBootloaderTest, IdentificationCommands)
{
    const QByteArray get = bl.receive(hex("00ff"));
    ASSERT_GE(get.size(), 4);
    EXPECT_EQ(get[0], ACK);
    EXPECT_EQ(quint8(get[1]) + 1, get.size() - 3);  // N counts the bytes after it, minus one
    EXPECT_EQ(quint8(get[2]), 0x31);
    EXPECT_EQ(get.back(), ACK);
    const QByteArray codes = get.mid(3, get.size() - 4);
    for (char code : hex("00010211213144"))
        EXPECT_TRUE(codes.contains(code)) << int(quint8(code));
    EXPECT_FALSE(codes.contains(char(0x43)));  // only the extended erase

    EXPECT_EQ(bl.receive(hex("01fe")), hex("79310000") + QByteArray(1, ACK));
    EXPECT_EQ(bl.receive(hex("02fd")), hex("7901043579"));
}

TEST_F(VirtualBootloaderTest, RefusedCommands)
{
    EXPECT_EQ(bl.receive(hex("0000")), QByteArray(1, NACK));  // bad complement
    EXPECT_EQ(bl.receive(hex("43bc")), QByteArray(1, NACK));  // plain erase: not on this part
    EXPECT_EQ(bl.receive(hex("639c")), QByteArray(1, NACK));  // write protect
    EXPECT_EQ(bl.receive(hex("926d")), QByteArray(1, NACK));  // readout unprotect
    EXPECT_EQ(bl.receive(hex("02fd")), hex("7901043579"));    // still in step after refusals
}

TEST_F(VirtualBootloaderTest, WriteAndReadMemory)
{
    QByteArray data(256, 0);
    for (int i = 0; i < 256; ++i)
        data[i] = char(i * 7);
    EXPECT_EQ(writeMemory(0x08001000, data), hex("797979"));
    EXPECT_EQ(bl.flash().mid(0x1000, 256), data);
    EXPECT_EQ(bl.flash().mid(0x1100, 16), QByteArray(16, char(0xFF)));

    EXPECT_EQ(readMemory(0x08001000, 256), hex("797979") + data);
    EXPECT_EQ(readMemory(0x08001004, 4), hex("797979") + data.mid(4, 4));
    // The last byte of flash can be read, one beyond cannot.
    EXPECT_EQ(readMemory(0x0803FFFF, 1), hex("797979ff"));
    EXPECT_EQ(readMemory(0x0803FFFF, 2), hex("797979").left(2) + QByteArray(1, NACK));
}

TEST_F(VirtualBootloaderTest, WriteMemoryRejections)
{
    const QByteArray before = bl.flash();
    // Address checksum wrong.
    QByteArray badAddress = address(0x08000000);
    badAddress[4] = char(badAddress[4] ^ 1);
    EXPECT_EQ(feed({hex("31ce"), badAddress}), hex("791f"));
    // Outside the flash: RAM, below the flash, past its end.
    for (quint32 at : {0x20000000u, 0x07FFFFFFu, 0x08040000u})
        EXPECT_EQ(feed({hex("31ce"), address(at)}), hex("791f")) << at;
    // Runs over the end of flash.
    EXPECT_EQ(writeMemory(0x0803FF80, QByteArray(256, 0)), hex("79791f"));
    // Data checksum wrong.
    QByteArray frame = withXor(QByteArray(1, char(3)) + hex("01020304"));
    frame[5] = char(frame[5] ^ 0x80);
    EXPECT_EQ(feed({hex("31ce"), address(0x08000000), frame}), hex("79791f"));
    EXPECT_EQ(bl.flash(), before);
    EXPECT_EQ(bl.commandCount(0x31), 6);
}

TEST_F(VirtualBootloaderTest, ProgrammingOnlyClearsBits)
{
    ASSERT_EQ(writeMemory(0x08000000, hex("f0f0f0f0")), hex("797979"));
    ASSERT_EQ(writeMemory(0x08000000, hex("0fff3cc3")), hex("797979"));
    EXPECT_EQ(bl.flash().left(4), hex("00f030c0"));
}

TEST_F(VirtualBootloaderTest, ExtendedErasePagesAndMassErase)
{
    bl.setFlash(QByteArray(VirtualBootloader::kFlashSize, 0x00));
    // Pages 3 and 127 (N = 1: two pages).
    EXPECT_EQ(feed({hex("44bb"), withXor(hex("00010003007f"))}), hex("7979"));
    for (int page = 0; page < VirtualBootloader::kPageCount; ++page) {
        const char expected = (page == 3 || page == 127) ? char(0xFF) : char(0x00);
        ASSERT_EQ(bl.flash().mid(page * 2048, 2048), QByteArray(2048, expected)) << page;
    }
    // A page past the end, or a bad checksum: nothing is erased.
    EXPECT_EQ(feed({hex("44bb"), withXor(hex("000100050080"))}), hex("791f"));
    QByteArray bad = withXor(hex("00000001"));
    bad[4] = char(bad[4] ^ 1);
    EXPECT_EQ(feed({hex("44bb"), bad}), hex("791f"));
    EXPECT_EQ(quint8(bl.flash()[5 * 2048]), 0x00);
    EXPECT_EQ(quint8(bl.flash()[1 * 2048]), 0x00);
    // Bank erases do not exist on a single-bank part; the global mass erase does.
    EXPECT_EQ(feed({hex("44bb"), hex("fffe01")}), hex("791f"));
    EXPECT_EQ(feed({hex("44bb"), hex("ffff01")}), hex("791f"));
    EXPECT_EQ(feed({hex("44bb"), hex("ffff00")}), hex("7979"));
    EXPECT_EQ(bl.flash(), QByteArray(VirtualBootloader::kFlashSize, char(0xFF)));
}

TEST_F(VirtualBootloaderTest, GoLeavesTheBootloader)
{
    EXPECT_EQ(feed({hex("21de"), address(0x20000000)}), hex("791f"));
    EXPECT_FALSE(bl.takeGoRequest());
    EXPECT_EQ(bl.receive(hex("21de0800000008")), hex("7979"));
    EXPECT_TRUE(bl.takeGoRequest());
    EXPECT_FALSE(bl.takeGoRequest());
    EXPECT_EQ(bl.lastGoAddress(), 0x08000000u);
    EXPECT_TRUE(bl.receive(hex("00ff")).isEmpty());  // the application runs now
}

TEST_F(VirtualBootloaderTest, ByteByByteEqualsWholeFrames)
{
    VirtualBootloader other;
    QByteArray session = hex("7f00ff02fd") + hex("31ce") + address(0x08000100) +
                         withXor(QByteArray(1, char(7)) + hex("0102030405060708")) + hex("11ee") + address(0x08000100) +
                         hex("07f8");
    QByteArray piecewise;
    for (char c : session)
        piecewise += other.receive(QByteArray(1, c));
    VirtualBootloader whole;
    EXPECT_EQ(whole.receive(session), piecewise);
    EXPECT_TRUE(piecewise.endsWith(hex("790102030405060708")));
}

TEST_F(VirtualBootloaderTest, FaultKnobs)
{
    bl.injectNacks(2);
    EXPECT_EQ(bl.receive(hex("02fd")), QByteArray(1, NACK));
    EXPECT_EQ(bl.receive(hex("02fd")), QByteArray(1, NACK));
    EXPECT_EQ(bl.receive(hex("02fd")), hex("7901043579"));
    bl.setCorruptWrites(true);
    EXPECT_EQ(writeMemory(0x08000000, hex("00112233")), hex("797979"));
    EXPECT_NE(bl.flash().left(4), hex("00112233"));
}

// Debian's stm32flash writes, verifies and starts an image through the virtual bootloader on
// a pseudo-terminal, as it would on a real board. A pty has no parity, and stm32flash refuses a
// port whose only change would be the parity, so it runs with 8n1 here.
class Stm32flashOverPty : public ::testing::Test
{
protected:
    void SetUp() override
    {
        tool = QStandardPaths::findExecutable(QStringLiteral("stm32flash"));
        if (tool.isEmpty())
            GTEST_SKIP() << "stm32flash is not installed";
        ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }

    void TearDown() override
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }

    // Runs stm32flash with the arguments, serving the bootloader until it exits.
    int runTool(const QStringList &arguments, QByteArray *output)
    {
        QTemporaryDir dir;
        const QByteArray logPath = dir.filePath(QStringLiteral("log")).toLocal8Bit();
        std::vector<QByteArray> args{tool.toLocal8Bit()};
        for (const QString &a : arguments)
            args.push_back(a.toLocal8Bit());
        args.push_back(QByteArray(slaveName));
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            return -1;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                char buffer[4096];
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) {
                    const QByteArray answer = bl.receive(QByteArray(buffer, int(n)));
                    if (!answer.isEmpty() && write(master, answer.constData(), size_t(answer.size())) < 0)
                        break;
                }
            }
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid)
                break;
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                status = -1;
                break;
            }
        }
        QFile log(QString::fromLocal8Bit(logPath));
        if (log.open(QIODevice::ReadOnly))
            *output = log.readAll();
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    QString tool;
    int master = -1;
    int slave = -1;
    char slaveName[256] = {};
    VirtualBootloader bl;
};

TEST_F(Stm32flashOverPty, WritesVerifiesAndStartsAnImage)
{
    QTemporaryDir dir;
    QByteArray image(10000, 0);
    QRandomGenerator rng(5);
    for (auto &c : image)
        c = char(rng.bounded(256));
    bl.setFlash(QByteArray(VirtualBootloader::kFlashSize, char(0x55)));
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    QFile f(imagePath);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(image);
    f.close();

    QByteArray output;
    const int rc = runTool({"-b", "115200", "-m", "8n1", "-w", imagePath, "-v", "-g", "0x0"}, &output);
    ASSERT_EQ(rc, 0) << output.constData();
    EXPECT_EQ(bl.flash().left(image.size()), image);
    // Only the pages the image covers were erased.
    EXPECT_EQ(bl.flash().mid(image.size(), 10240 - image.size()), QByteArray(10240 - image.size(), char(0xFF)));
    EXPECT_EQ(bl.flash().mid(10240, 16), QByteArray(16, char(0x55)));
    EXPECT_TRUE(bl.takeGoRequest());
    EXPECT_EQ(bl.lastGoAddress(), 0x08000000u);
    EXPECT_GT(bl.commandCount(0x11), 0);  // it verified by reading back
}

TEST_F(Stm32flashOverPty, ReadsFlashBack)
{
    QTemporaryDir dir;
    QByteArray image(4096, 0);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i ^ (i >> 8));
    bl.setFlash(image);
    const QString out = dir.filePath(QStringLiteral("read.bin"));
    QByteArray output;
    ASSERT_EQ(runTool({"-b", "115200", "-m", "8n1", "-r", out, "-S", "0x08000000:4096"}, &output), 0)
        << output.constData();
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), image);
    EXPECT_TRUE(output.contains("STM32L43")) << output.constData();
}

}  // namespace
