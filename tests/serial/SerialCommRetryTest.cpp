// The manager's 5 s retry with its real timer: a missing device is retried until it appears,
// and an empty port name stops the jobs.
#include "PtyPair.h"
#include "serial/SerialComm.h"
#include "SerialCommTestSupport.h"
#include "SerialTestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(SerialCommRetryTest, RetriesEveryFiveSecondsUntilTheDeviceAppears)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("logger"));
    SerialComm comm;
    SerialCommObserver seen(comm);

    comm.setSerialPort(link);
    ASSERT_TRUE(waitUntil([&] { return seen.jobsFinished() == 1; }));
    QElapsedTimer sinceFailure;
    sinceFailure.start();
    EXPECT_EQ(comm.lastError(), QStringLiteral("Failure opening serial port:\"%1\"").arg(link));
    EXPECT_EQ(comm.lastPortError(), QStringLiteral("Device not found"));

    spinFor(1000);
    EXPECT_EQ(seen.jobsStarted(), 1);
    PtyPair pty;
    ASSERT_TRUE(QFile::link(pty.slavePath(), link));

    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }, 8000));
    const qint64 elapsed = sinceFailure.elapsed();
    EXPECT_GE(elapsed, 4500);
    EXPECT_LE(elapsed, 7000);
    EXPECT_EQ(seen.jobsStarted(), 2);
    // A successful open clears the manager's error texts.
    EXPECT_TRUE(comm.lastError().isEmpty());
    EXPECT_TRUE(comm.lastPortError().isEmpty());

    comm.serialPortObject()->write("up");
    EXPECT_EQ(pty.readExactly(2), QByteArray("up"));
}

TEST(SerialCommRetryTest, AnEmptyNameEndsTheJobs)
{
    PtyPair pty;
    SerialComm comm;
    SerialCommObserver seen(comm);
    comm.setSerialPort(pty.slavePath());
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));

    comm.setSerialPort(QString());
    ASSERT_TRUE(waitUntil([&] { return seen.jobsFinished() == 2; }));
    EXPECT_EQ(comm.lastError(), QStringLiteral("Failure opening serial port:\"\""));
    // The retry finds nothing to open and nothing to close.
    spinFor(5600);
    EXPECT_EQ(seen.jobsStarted(), 2);
    EXPECT_EQ(comm.ioDevice(), nullptr);
    EXPECT_FALSE(comm.opening());
}
