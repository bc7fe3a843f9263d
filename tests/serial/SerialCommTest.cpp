#include "serial/SerialComm.h"
#include "PtyPair.h"
#include "SerialCommTestSupport.h"
#include "SerialTestSupport.h"

#include <QMetaProperty>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <termios.h>

namespace {

QString failureText(const QString &name)
{
    return QStringLiteral("Failure opening serial port:\"%1\"").arg(name);
}

speed_t masterSpeed(const PtyPair &pty)
{
    termios tio{};
    tcgetattr(pty.masterFd(), &tio);
    return cfgetospeed(&tio);
}

bool portIsFree(const QString &path)
{
    AbstractSerialPort probe(path);
    return probe.open(QIODevice::ReadWrite);
}

}  // namespace

TEST(SerialCommTest, SettingsChangedTogetherMakeOneReopen)
{
    PtyPair pty;
    SerialComm comm;
    SerialCommObserver seen(comm);
    QSignalSpy ports(&comm, &SerialComm::serialPortChanged);
    QSignalSpy bauds(&comm, &SerialComm::baudChanged);
    QSignalSpy parities(&comm, &SerialComm::parityChanged);

    comm.setSerialPort(pty.slavePath());
    comm.setBaud(57600);
    comm.setParity(MlSerialPort::EvenParity);
    comm.setBaud(57600);  // unchanged: no signal, no reopen
    EXPECT_EQ(ports.count(), 1);
    EXPECT_EQ(bauds.count(), 1);
    EXPECT_EQ(parities.count(), 1);
    EXPECT_EQ(comm.ioDevice(), nullptr);  // opening happens in the background

    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    spinFor(50);
    EXPECT_EQ(seen.jobsStarted(), 1);
    EXPECT_EQ(seen.jobsFinished(), 1);
    EXPECT_FALSE(comm.opening());
    EXPECT_TRUE(comm.lastError().isEmpty());

    MlSerialPort *port = comm.serialPortObject();
    EXPECT_EQ(static_cast<QIODevice *>(port), comm.ioDevice());
    EXPECT_TRUE(port->isOpen());
    EXPECT_EQ(port->thread(), QThread::currentThread());
    EXPECT_EQ(port->baudRate(), 57600);
    EXPECT_EQ(port->parity(), MlSerialPort::EvenParity);
    EXPECT_EQ(masterSpeed(pty), speed_t(B57600));
    EXPECT_EQ(port->property("originalPortName").toString(), pty.slavePath());
    // A reader attached on ioDeviceChanged is kicked once, before any byte arrives.
    EXPECT_EQ(seen.readyReadsSeen(), 1);

    port->write("to-device");
    EXPECT_EQ(pty.readExactly(9), QByteArray("to-device"));
    ASSERT_TRUE(pty.writeAll("from-device"));
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        got += port->readAll();
        return got.size() >= 11;
    }));
    EXPECT_EQ(got, QByteArray("from-device"));
}

TEST(SerialCommTest, QmlSeesTheDeviceChangeOnBothDeviceProperties)
{
    SerialComm comm;
    const QMetaObject *meta = comm.metaObject();
    for (const char *name : {"ioDevice", "serialPortObject"}) {
        const QMetaProperty property = meta->property(meta->indexOfProperty(name));
        ASSERT_TRUE(property.isValid()) << name;
        ASSERT_TRUE(property.hasNotifySignal()) << name;
        EXPECT_EQ(property.notifySignal().name(), QByteArray("ioDeviceChanged")) << name;
    }
    const QMetaProperty parity = meta->property(meta->indexOfProperty("parity"));
    EXPECT_TRUE(parity.write(&comm, QVariant::fromValue(MlSerialPort::OddParity)));
    EXPECT_EQ(comm.parity(), MlSerialPort::OddParity);
}

TEST(SerialCommTest, SysPathPrefixIsStrippedAndRemembered)
{
    PtyPair pty;
    SerialComm comm;
    const QString name = QStringLiteral("syspath://") + pty.slavePath();
    comm.setSerialPort(name);
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    EXPECT_EQ(comm.serialPort(), name);
    EXPECT_EQ(comm.serialPortObject()->portName(), pty.slavePath());
    EXPECT_EQ(comm.serialPortObject()->property("originalPortName").toString(), name);
}

TEST(SerialCommTest, OpenFailureIsReportedAndLogged)
{
    MessageCapture log;
    SerialComm comm;
    SerialCommObserver seen(comm);
    QSignalSpy portErrors(&comm, &SerialComm::lastPortErrorChanged);
    const QString missing = QStringLiteral("/dev/tw-missing-port");
    comm.setSerialPort(QStringLiteral("syspath://") + missing);
    ASSERT_TRUE(waitUntil([&] { return seen.jobsFinished() == 1; }));
    EXPECT_EQ(comm.ioDevice(), nullptr);
    EXPECT_EQ(comm.lastError(), failureText(missing));  // the name without the prefix
    EXPECT_EQ(comm.lastPortError(), QStringLiteral("Device not found"));
    EXPECT_EQ(portErrors.count(), 1);
    EXPECT_EQ(log.count(QStringLiteral("SerialComm error: ") + failureText(missing)), 1);
}

// Runs `change` in this thread while the next background job runs and before its result is
// taken in: it is queued when the job is about to start, so ahead of the job's answer.
void changeWhileNextJobRuns(SerialComm &comm, QObject &context, std::function<void()> change)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = QObject::connect(
        &comm, &SerialComm::openingChanged, &context,
        [connection, change, &context](bool opening) {
            if (!opening)
                return;
            QObject::disconnect(*connection);
            QMetaObject::invokeMethod(&context, change, Qt::QueuedConnection);
        },
        Qt::DirectConnection);
}

TEST(SerialCommTest, SettingChangedDuringAJobDiscardsItsResult)
{
    PtyPair good;
    PtyPair other;
    SerialComm comm;
    SerialCommObserver seen(comm);
    QObject context;

    // A job that will fail is running; its error must never be shown.
    changeWhileNextJobRuns(comm, context, [&] { comm.setSerialPort(good.slavePath()); });
    comm.setSerialPort(QStringLiteral("/dev/tw-missing-port"));
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    EXPECT_EQ(seen.jobsStarted(), 2);
    EXPECT_TRUE(seen.lastErrors().isEmpty());
    EXPECT_TRUE(comm.lastError().isEmpty());
    EXPECT_TRUE(comm.lastPortError().isEmpty());
    EXPECT_EQ(comm.serialPortObject()->portName(), good.slavePath());

    // A job that opens a port successfully, overtaken by a new setting: that port is closed.
    changeWhileNextJobRuns(comm, context, [&] { comm.setBaud(9600); });
    comm.setSerialPort(other.slavePath());
    ASSERT_TRUE(waitUntil([&] { return seen.jobsStarted() == 4 && !comm.opening() && comm.ioDevice(); }));
    spinFor(50);
    EXPECT_EQ(seen.jobsStarted(), 4);
    MlSerialPort *port = comm.serialPortObject();
    EXPECT_EQ(port->portName(), other.slavePath());
    EXPECT_EQ(port->baudRate(), 9600);
    EXPECT_EQ(masterSpeed(other), speed_t(B9600));
    // Only the last port is held: the first one and the discarded one are released.
    EXPECT_TRUE(portIsFree(good.slavePath()));
    EXPECT_EQ(seen.adopted().size(), 2);
    EXPECT_TRUE(seen.adopted().first().isNull());  // the previous device is deleted
}

TEST(SerialCommTest, EmptyNameClosesThePortThenReportsTheFailure)
{
    PtyPair pty;
    SerialComm comm;
    SerialCommObserver seen(comm);
    comm.setSerialPort(pty.slavePath());
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    QPointer<MlSerialPort> first = comm.serialPortObject();

    comm.setSerialPort(QString());
    ASSERT_TRUE(waitUntil([&] { return seen.jobsFinished() == 2; }));
    EXPECT_EQ(comm.ioDevice(), nullptr);
    EXPECT_EQ(comm.lastError(), QStringLiteral("Failure opening serial port:\"\""));
    EXPECT_EQ(comm.lastPortError(), QStringLiteral("Device not found"));
    EXPECT_TRUE(first.isNull());
    EXPECT_TRUE(portIsFree(pty.slavePath()));
}

TEST(SerialCommTest, PortErrorsAreLoggedOncePerCodeAndClosePort)
{
    MessageCapture log;
    PtyPair pty;
    SerialComm comm;
    comm.setSerialPort(pty.slavePath());
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    MlSerialPort *port = comm.serialPortObject();

    emit port->errorOccurred(MlSerialPort::WriteError);
    emit port->errorOccurred(MlSerialPort::WriteError);
    emit port->errorOccurred(MlSerialPort::ReadError);
    emit port->errorOccurred(MlSerialPort::NoError);
    EXPECT_EQ(log.count(QStringLiteral("Serial port error WriteError")), 1);
    EXPECT_EQ(log.count(QStringLiteral("Serial port error ReadError")), 1);
    EXPECT_TRUE(port->property("errorReported7").toBool());
    EXPECT_TRUE(port->property("errorReported8").toBool());
    // The port closes itself and stays current until the retry reopens it.
    ASSERT_TRUE(waitUntil([&] { return !port->isOpen(); }));
    EXPECT_EQ(comm.serialPortObject(), port);
}

TEST(SerialCommTest, AssertRtsDrivesTheCurrentPort)
{
    PtyPair pty;
    SerialComm comm;
    QSignalSpy rts(&comm, &SerialComm::assertRtsChanged);
    comm.setAssertRts(true);
    comm.setAssertRts(true);
    EXPECT_EQ(rts.count(), 1);
    comm.setSerialPort(pty.slavePath());
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    EXPECT_TRUE(comm.serialPortObject()->requestToSend());  // applied on adoption
    comm.setAssertRts(false);
    EXPECT_FALSE(comm.serialPortObject()->requestToSend());
    EXPECT_EQ(rts.count(), 2);
}

TEST(SerialCommTest, ExplicitReinitReopensAndDropsTheOldDevice)
{
    PtyPair pty;
    SerialComm comm;
    SerialCommObserver seen(comm);
    comm.setSerialPort(pty.slavePath());
    ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    comm.reinit();
    comm.reinit();
    comm.reinit();
    ASSERT_TRUE(waitUntil([&] { return seen.adopted().size() == 2 && !comm.opening(); }));
    spinFor(50);
    EXPECT_EQ(seen.jobsStarted(), 2);
    EXPECT_TRUE(seen.adopted().first().isNull());
    EXPECT_TRUE(comm.serialPortObject()->isOpen());
}

TEST(SerialCommTest, DestructionFreesPortsInFlight)
{
    PtyPair pty;
    {
        // Destroyed before the queued reopen ran.
        SerialComm comm;
        comm.setSerialPort(pty.slavePath());
    }
    {
        // Destroyed while the worker opens the port.
        SerialComm comm;
        comm.setSerialPort(pty.slavePath());
        ASSERT_TRUE(waitUntil([&] { return comm.opening(); }));
    }
    spinFor(20);
    EXPECT_TRUE(portIsFree(pty.slavePath()));
    {
        SerialComm comm;
        comm.setSerialPort(pty.slavePath());
        ASSERT_TRUE(waitUntil([&] { return comm.ioDevice() != nullptr; }));
    }
    spinFor(20);
    EXPECT_TRUE(portIsFree(pty.slavePath()));
}
