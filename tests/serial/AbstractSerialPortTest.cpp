#include "serial/AbstractSerialPort.h"
#include "PtyPair.h"
#include "SerialTestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <QFile>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// Exposes the raw QIODevice entry points, which QIODevice itself guards when closed.
class ProbePort : public AbstractSerialPort
{
public:
    using AbstractSerialPort::AbstractSerialPort;
    using AbstractSerialPort::readData;
    using AbstractSerialPort::writeData;
};

QByteArray readFromPort(AbstractSerialPort &port, int count, int timeoutMs = 5000)
{
    QByteArray out;
    waitUntil(
        [&] {
            out += port.readAll();
            return out.size() >= count;
        },
        timeoutMs);
    return out;
}

speed_t masterSpeed(const PtyPair &pty)
{
    termios tio{};
    tcgetattr(pty.masterFd(), &tio);
    return cfgetospeed(&tio);
}

}  // namespace

TEST(AbstractSerialPortTest, OpenFailsWithDeviceNotFoundForMissingNames)
{
    for (const QString &name : {QStringLiteral("/dev/tw-no-such-port"), QStringLiteral("ttyTwNoSuchPort"), QString()}) {
        AbstractSerialPort port(name);
        EXPECT_FALSE(port.open(QIODevice::ReadWrite)) << name.toStdString();
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(port.error(), AbstractSerialPort::DeviceNotFoundError);
        EXPECT_EQ(port.errorString(), QStringLiteral("Device not found"));
    }
}

TEST(AbstractSerialPortTest, ANonTerminalIsRefused)
{
    AbstractSerialPort port(QStringLiteral("/dev/null"));
    EXPECT_FALSE(port.open(QIODevice::ReadWrite));
    EXPECT_EQ(port.error(), AbstractSerialPort::OpenError);
    EXPECT_EQ(port.errorString(), QStringLiteral("Could not open device"));
}

TEST(AbstractSerialPortTest, BytesTravelBothWaysInOrder)
{
    PtyPair pty;
    ASSERT_TRUE(pty.isValid());
    AbstractSerialPort port(pty.slavePath());
    QSignalSpy errors(&port, &AbstractSerialPort::errorOccurred);
    QSignalSpy ready(&port, &QIODevice::readyRead);
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    EXPECT_TRUE(port.openMode() & QIODevice::Unbuffered);
    EXPECT_FALSE(port.isSequential());
    EXPECT_EQ(port.error(), AbstractSerialPort::NoError);
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).value<AbstractSerialPort::SerialPortError>(), AbstractSerialPort::NoError);

    EXPECT_EQ(port.write("hello"), 5);
    EXPECT_EQ(pty.readExactly(5), QByteArray("hello"));

    ASSERT_TRUE(pty.writeAll("world"));
    EXPECT_TRUE(waitUntil([&] { return ready.count() > 0; }));
    EXPECT_EQ(readFromPort(port, 5), QByteArray("world"));

    // Far more than one read chunk and more than the kernel's pty buffer, both ways.
    const QByteArray out = pattern(300000, 1);
    const QByteArray in = pattern(300000, 2);
    EXPECT_EQ(port.write(out), out.size());
    EXPECT_EQ(pty.readExactly(out.size()), out);
    ASSERT_TRUE(pty.writeAll(in));
    EXPECT_EQ(readFromPort(port, in.size()), in);
    EXPECT_EQ(port.bytesAvailable(), 0);
    EXPECT_EQ(port.read(16), QByteArray());  // open and empty: nothing, no error
    EXPECT_TRUE(port.isOpen());
}

TEST(AbstractSerialPortTest, PartialReadsKeepTheOrderWhileTheBufferRefills)
{
    PtyPair pty;
    AbstractSerialPort port(pty.slavePath());
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    const QByteArray first = pattern(1000000, 5);
    const QByteArray second = pattern(500000, 6);

    ASSERT_TRUE(pty.writeAll(first));
    ASSERT_TRUE(waitUntil([&] { return port.bytesAvailable() == first.size(); }));
    // Most of the buffer is consumed in small reads, the rest stays unread...
    QByteArray got;
    while (got.size() < 600000)
        got += port.read(1 + (got.size() * 7) % 4093);
    // ...while more arrives than fits behind the unread bytes without reusing the space
    // already read.
    ASSERT_TRUE(pty.writeAll(second));
    const QByteArray expected = first + second;
    ASSERT_TRUE(waitUntil([&] { return port.bytesAvailable() == expected.size() - got.size(); }));
    while (got.size() < expected.size()) {
        const QByteArray piece = port.read(3000);
        ASSERT_FALSE(piece.isEmpty());
        got += piece;
    }
    EXPECT_TRUE(got == expected);
}

TEST(AbstractSerialPortTest, ClosedPortReportsNotOpen)
{
    ProbePort port(QStringLiteral("/dev/tw-no-such-port"));
    char buffer[8] = {};
    EXPECT_EQ(port.writeData("abc", 3), -1);
    EXPECT_EQ(port.error(), AbstractSerialPort::NotOpenError);
    EXPECT_EQ(port.errorString(), QStringLiteral("Device has not been opened"));
    EXPECT_EQ(port.readData(buffer, sizeof buffer), -1);
    EXPECT_FALSE(port.flush());
    EXPECT_EQ(port.errorString(), QStringLiteral("Device has not been opened"));
    // Settings are stored and succeed while closed.
    EXPECT_TRUE(port.setParity(AbstractSerialPort::EvenParity));
    EXPECT_TRUE(port.setRequestToSend(true));
    EXPECT_TRUE(port.setBaudRate(57600));
    EXPECT_EQ(port.baudRate(), 57600);

    PtyPair pty;
    ProbePort open(pty.slavePath());
    ASSERT_TRUE(open.open(QIODevice::ReadWrite));
    EXPECT_EQ(open.readData(buffer, sizeof buffer), 0);
    EXPECT_EQ(open.writeData("", 0), 0);
    open.close();
    EXPECT_EQ(open.writeData("abc", 3), -1);
    EXPECT_EQ(open.readData(buffer, sizeof buffer), -1);
}

TEST(AbstractSerialPortTest, LineSettingsApplyWhileOpenAndAtReopen)
{
    PtyPair pty;
    AbstractSerialPort port(pty.slavePath());
    ASSERT_TRUE(port.setBaudRate(57600));
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    EXPECT_EQ(masterSpeed(pty), speed_t(B57600));

    EXPECT_TRUE(port.setBaudRate(460800));
    EXPECT_EQ(masterSpeed(pty), speed_t(B460800));
    EXPECT_TRUE(port.setBaudRate(AbstractSerialPort::Baud115200));
    EXPECT_EQ(masterSpeed(pty), speed_t(B115200));

    // A rate the platform cannot set fails clearly and leaves the line as it was.
    EXPECT_FALSE(port.setBaudRate(12345));
    EXPECT_EQ(port.error(), AbstractSerialPort::UnsupportedOperationError);
    EXPECT_EQ(masterSpeed(pty), speed_t(B115200));

    // A pty has no parity and no modem lines: accepted as no-ops so the stack runs on it.
    for (auto parity : {AbstractSerialPort::EvenParity, AbstractSerialPort::OddParity, AbstractSerialPort::NoParity})
        EXPECT_TRUE(port.setParity(parity));
    EXPECT_FALSE(port.setParity(AbstractSerialPort::UnknownParity));
    EXPECT_TRUE(port.setRequestToSend(true));
    EXPECT_TRUE(port.setRequestToSend(false));

    // The line still works both ways after the changes.
    port.write("ping");
    EXPECT_EQ(pty.readExactly(4), QByteArray("ping"));
    ASSERT_TRUE(pty.writeAll("pong"));
    EXPECT_EQ(readFromPort(port, 4), QByteArray("pong"));

    port.close();
    ASSERT_TRUE(port.setBaudRate(9600));
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    EXPECT_EQ(masterSpeed(pty), speed_t(B9600));
}

TEST(AbstractSerialPortTest, WritesNeverBlockAndNeverSplit)
{
    PtyPair pty;
    AbstractSerialPort port(pty.slavePath());
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    // Nobody reads the master yet, so the kernel buffer fills after a few KiB: every write
    // must still be taken whole.
    QByteArray expected;
    for (int i = 0; i < 8; ++i) {
        const QByteArray block = pattern(512 * 1024, 10 + i);
        EXPECT_EQ(port.write(block), block.size());
        expected += block;
    }
    // What the kernel has not taken yet is reported as not written, until it leaves.
    EXPECT_GT(port.bytesToWrite(), 0);
    qint64 left = 0;
    QObject::connect(&port, &QIODevice::bytesWritten, [&](qint64 n) { left += n; });
    EXPECT_EQ(pty.readExactly(expected.size(), 5000), expected);
    EXPECT_TRUE(waitUntil([&] { return left == expected.size(); }, 10000)) << left;
    EXPECT_EQ(port.bytesToWrite(), 0);
}

TEST(AbstractSerialPortTest, ReceiveOverflowKeepsTheFirstMebibyteInOrder)
{
    MessageCapture log;
    PtyPair pty;
    AbstractSerialPort port(pty.slavePath());
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));

    const QByteArray sent = pattern(int(AbstractSerialPort::kReceiveBufferSize) + 200000, 3);
    ASSERT_TRUE(pty.writeAll(sent));  // the reader drains the pty without the event loop
    ASSERT_TRUE(waitUntil([&] { return log.count(QStringLiteral("Serial buffer overflow")) > 0; }));
    EXPECT_EQ(port.bytesAvailable(), AbstractSerialPort::kReceiveBufferSize);
    spinFor(100);  // let the rest of the excess arrive and be dropped

    const QByteArray got = port.readAll();
    ASSERT_EQ(got.size(), int(AbstractSerialPort::kReceiveBufferSize));
    EXPECT_TRUE(got == sent.left(got.size()));
    EXPECT_TRUE(port.isOpen());

    // Room again: new bytes are kept.
    ASSERT_TRUE(pty.writeAll("after"));
    EXPECT_EQ(readFromPort(port, 5), QByteArray("after"));
}

TEST(AbstractSerialPortTest, CloseDiscardsQueuedBytesWithoutWaiting)
{
    PtyPair pty;
    AbstractSerialPort port(pty.slavePath());
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    const QByteArray big = pattern(8 * 1024 * 1024, 4);
    ASSERT_EQ(port.write(big), big.size());
    port.close();  // the master never reads: a close that waited for the line would hang here
    EXPECT_FALSE(port.isOpen());
    const QByteArray delivered = pty.readFor(100);
    EXPECT_LT(delivered.size(), big.size());
    EXPECT_TRUE(delivered == big.left(delivered.size()));

    // The port can be opened again and works.
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    port.write("again");
    EXPECT_EQ(pty.readExactly(5), QByteArray("again"));
}

TEST(AbstractSerialPortTest, FlushHandsOverWhatWasWrittenBeforeAClose)
{
    // A short command written, flushed and followed at once by a close (a Go before the mode
    // switch) must reach the line every time, however the writer thread is scheduled.
    PtyPair pty;
    AbstractSerialPort port(pty.slavePath());
    QByteArray expected;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(port.open(QIODevice::ReadWrite));
        const QByteArray command = pattern(7, i);
        ASSERT_EQ(port.write(command), command.size());
        ASSERT_TRUE(port.flush());
        port.close();
        expected += command;
    }
    EXPECT_EQ(pty.readExactly(expected.size(), 5000), expected);

    // With nobody reading, the wait is bounded and reported; the close still does not wait.
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    ASSERT_EQ(port.write(pattern(8 * 1024 * 1024, 5)), 8 * 1024 * 1024);
    EXPECT_FALSE(port.flush());
    EXPECT_EQ(port.error(), AbstractSerialPort::TimeoutError);
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST(AbstractSerialPortTest, HangUpReportsReadErrorAndCloses)
{
    PtyPair pty;
    AbstractSerialPort port(pty.slavePath());
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    QSignalSpy errors(&port, &AbstractSerialPort::errorOccurred);
    pty.closeMaster();
    ASSERT_TRUE(waitUntil([&] { return !port.isOpen(); }));
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).value<AbstractSerialPort::SerialPortError>(), AbstractSerialPort::ReadError);
    // Worker errors travel only as the signal.
    EXPECT_EQ(port.error(), AbstractSerialPort::NoError);
    spinFor(50);
    EXPECT_EQ(errors.count(), 1);  // our own close adds no second error
}

TEST(AbstractSerialPortTest, ASecondOpenOfTheSamePortFails)
{
    PtyPair pty;
    AbstractSerialPort first(pty.slavePath());
    AbstractSerialPort second(pty.slavePath());
    ASSERT_TRUE(first.open(QIODevice::ReadWrite));
    EXPECT_FALSE(second.open(QIODevice::ReadWrite));
    EXPECT_EQ(second.error(), AbstractSerialPort::PermissionError);
    EXPECT_EQ(second.errorString(), QStringLiteral("Access denied"));
    // The kernel's exclusive mode is on while the port is open (root passes it, so look).
    const int probe = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = -1;
    if (probe >= 0) {
        ASSERT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
    }
    first.close();
    // Released on close, also the exclusive mode that a pty would otherwise keep.
    if (probe >= 0) {
        ASSERT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
        ::close(probe);
    }
    EXPECT_TRUE(second.open(QIODevice::ReadWrite));
}

TEST(AbstractSerialPortTest, AnIdleOpenPortDoesNotSpin)
{
    PtyPair pty;
    AbstractSerialPort port(pty.slavePath());
    ASSERT_TRUE(port.open(QIODevice::ReadWrite));
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    QThread::msleep(300);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    // A polling reader would burn about the whole 300 ms.
    EXPECT_LT(cpuMs, 100.0);
}
