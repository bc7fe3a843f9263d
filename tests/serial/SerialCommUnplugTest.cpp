// Unplugging the adapter under the manager: one log line per error code, the device goes
// away, and the manager reconnects by itself once the device is back.
#include "PtyPair.h"
#include "serial/SerialComm.h"
#include "SerialCommTestSupport.h"
#include "SerialTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

#include <gtest/gtest.h>

#include <memory>

namespace {
bool pointLink(const QString &link, const QString &target)
{
    // Replaced in one step, as udev does with /dev/serial/by-id links.
    const QString temp = link + QStringLiteral(".new");
    QFile::remove(temp);
    return QFile::link(target, temp) &&
           ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(link).constData()) == 0;
}
}  // namespace

TEST(SerialCommUnplugTest, UnplugLogsOnceDropsTheDeviceAndReconnects)
{
    MessageCapture log;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("by-id-logger"));
    auto pty = std::make_unique<PtyPair>();
    ASSERT_TRUE(pointLink(link, pty->slavePath()));

    SerialComm comm;
    SerialCommObserver seen(comm);
    comm.setSerialPort(link);
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    MlSerialPort *port = comm.serialPortObject();

    // Unplugged: the node goes and udev removes its link (the pty number may be reused by
    // another program at once, so the link must not point at it).
    pty.reset();
    QFile::remove(link);
    ASSERT_TRUE(waitUntil([&] { return !port->isOpen(); }));
    EXPECT_EQ(log.count(QStringLiteral("Serial port error ReadError")), 1);
    // Worker errors leave the port's own error text alone; the manager shows that text.
    EXPECT_EQ(comm.lastPortError(), port->errorString());

    // The retry finds no device: the old port is gone and the failure is reported.
    ASSERT_TRUE(waitUntil([&] { return seen.jobsFinished() == 2; }, 8000));
    EXPECT_EQ(comm.ioDevice(), nullptr);
    EXPECT_TRUE(seen.adopted().first().isNull());
    EXPECT_EQ(comm.lastError(), QStringLiteral("Failure opening serial port:\"%1\"").arg(link));
    EXPECT_EQ(comm.lastPortError(), QStringLiteral("Device not found"));

    // Plugged in again: the next retry connects.
    pty = std::make_unique<PtyPair>();
    ASSERT_TRUE(pointLink(link, pty->slavePath()));
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }, 8000));
    EXPECT_EQ(seen.jobsStarted(), 3);
    ASSERT_TRUE(pty->writeAll("back"));
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        got += comm.serialPortObject()->readAll();
        return got.size() >= 4;
    }));
    EXPECT_EQ(got, QByteArray("back"));
    int errorLines = 0;
    for (const QString &line : log.messages())
        errorLines += line.startsWith(QStringLiteral("Serial port error")) ? 1 : 0;
    EXPECT_EQ(errorLines, 1);
}
