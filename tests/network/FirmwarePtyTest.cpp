// The client over the real serial stack: a pseudo-terminal whose slave the client's
// AbstractSerialPort opens, and the scripted device bridged onto the master side.
#include "MemoryLine.h"
#include "MessageCapture.h"
#include "network/TarrowindFirmware.h"
#include "ScriptedDevice.h"
#include "serial/AbstractSerialPort.h"
#include "serial/SerialSupport.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <termios.h>
#include <unistd.h>

using namespace Network;

namespace {
// Moves bytes between the pty master and one end of a memory pipe.
class PtyBridge : public QObject
{
public:
    PtyBridge(int masterFd, MemoryLine *end) : m_fd(masterFd), m_end(end), m_notifier(masterFd, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] {
            char buf[4096];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0)
                m_end->write(buf, n);
        });
        connect(end, &QIODevice::readyRead, this, [this] {
            const QByteArray bytes = m_end->readAll();
            qint64 done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    break;
                if (n > 0)
                    done += n;
            }
        });
    }

private:
    int m_fd;
    MemoryLine *m_end;
    QSocketNotifier m_notifier;
};
}  // namespace

TEST(FirmwareOverPty, ConnectsQueriesAndHandsOverForBootloader)
{
    initSerialSupport();
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    ::close(slave);  // the port opens the slave by name
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    MemoryLine bridgeEnd, deviceEnd;
    MemoryLine::connectPair(&bridgeEnd, &deviceEnd);
    ScriptedDevice device(&deviceEnd);
    auto bridge = std::make_unique<PtyBridge>(master, &bridgeEnd);

    auto port = std::make_unique<AbstractSerialPort>(QString::fromLocal8Bit(name));
    ASSERT_TRUE(port->open(QIODevice::ReadWrite)) << AbstractSerialPort::errorText(port->error()).toStdString();

    MessageCapture log;
    TarrowindFirmware firmware;
    firmware.setIoDevice(port.get());
    ASSERT_EQ(firmware.ioDevice(), port.get());
    device.announce();
    ASSERT_TRUE(
        waitUntil([&] { return firmware.connectionState() == TarrowindFirmware::ConnectionState_Ready; }, 5000));
    EXPECT_EQ(firmware.uniqueId(), QStringLiteral("TW3X-000123"));
    // The device confirmed the baud rate; the port now runs at it (a pty accepts any rate).
    EXPECT_TRUE(log.contains(QStringLiteral("S2C_NetworkUartConfigChange[baudRate:115200]")));
    EXPECT_EQ(port->baudRate(), 115200);

    // A large answer crosses the line in several reads and still arrives once.
    QSignalSpy state(&firmware, &TarrowindFirmware::recvGetFileSystemStateResult);
    device.customAnswer = [](const ScriptedDevice::Request &r) {
        if (r.type != C2S_FlashGetState)
            return QByteArray();
        QByteArray block(528, '\x3c');
        block[0] = 1;
        block[1] = block[2] = block[3] = 0;
        return encodePacket(S2C_FlashGetStateResult, r.requestId, block);
    };
    ASSERT_NE(firmware.sendGetFileSystemState(), 0);
    ASSERT_TRUE(waitUntil([&] { return state.count() == 1; }, 3000));
    EXPECT_TRUE(state.at(0).at(1).toBool());
    EXPECT_EQ(state.at(0).at(2).toByteArray().size(), 528);

    // Entering the bootloader flushes the request onto the line before letting go of the port.
    const uint16_t id = firmware.sendEnterBootloader();
    ASSERT_NE(id, 0);
    EXPECT_EQ(firmware.ioDevice(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return device.count(C2S_EnterBootloader) == 1; }, 3000));
    EXPECT_EQ(firmware.connectionState(), TarrowindFirmware::ConnectionState_Unconnected);

    port->close();
    port.reset();
    bridge.reset();
    ::close(master);
}
