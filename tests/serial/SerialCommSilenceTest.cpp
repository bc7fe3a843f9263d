// The manager's 5 s silence timer with its real timer.
#include "PtyPair.h"
#include "serial/SerialComm.h"
#include "SerialCommTestSupport.h"
#include "SerialTestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

TEST(SerialCommSilenceTest, ASilentLineIsReopenedAndTrafficKeepsItOpen)
{
    MessageCapture log;
    PtyPair pty;
    SerialComm comm;
    SerialCommObserver seen(comm);
    comm.setSerialPort(pty.slavePath());
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    MlSerialPort *first = comm.serialPortObject();

    // One byte a second for longer than the silence interval: no reopen.
    QElapsedTimer sinceLastByte;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(pty.writeAll(QByteArray(1, char('a' + i))));
        sinceLastByte.start();
        spinFor(950);
    }
    EXPECT_EQ(seen.jobsStarted(), 1);
    EXPECT_EQ(comm.serialPortObject(), first);
    EXPECT_EQ(first->readAll(), QByteArray("abcdef"));

    // Then nothing: reopened about 5 s after the last byte, without any error.
    ASSERT_TRUE(waitUntil([&] { return seen.jobsStarted() == 2 && comm.ioDevice() && !comm.opening(); }, 8000));
    const qint64 elapsed = sinceLastByte.elapsed();
    EXPECT_GE(elapsed, 4500);
    EXPECT_LE(elapsed, 7000);
    EXPECT_EQ(seen.adopted().size(), 2);
    EXPECT_TRUE(seen.adopted().first().isNull());
    EXPECT_TRUE(comm.lastError().isEmpty());
    for (const QString &line : log.messages())
        EXPECT_FALSE(line.startsWith(QStringLiteral("Serial port error"))) << line.toStdString();

    // The reopened port carries data again.
    ASSERT_TRUE(pty.writeAll("again"));
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        got += comm.serialPortObject()->readAll();
        return got.size() >= 5;
    }));
    EXPECT_EQ(got, QByteArray("again"));
}
