// The command-line tool's device commands as a black box: tarrowind-cli runs as its own
// process against the virtual logger on a pty, and what it prints is checked against what
// the device holds.

#include "CliRun.h"
#include "network/Network.h"
#include "network/PacketParser.h"
#include "sim/DeviceRequestFramer.h"
#include "sim/InProcessSerialDevice.h"
#include "sim/VirtualLogger.h"
#include "sim/VirtualLoggerRunner.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <termios.h>
#include <unistd.h>

namespace {

using Network::PermanentName16;
using Network::PermanentName256;
using Network::PersistentName16;
using Network::PersistentName256;
using Network::TemporaryName16;

constexpr int64_t kMs = 1000000;

QString text32(const QByteArray &bytes)
{
    const int end = bytes.indexOf('\0');
    return QString::fromUtf8(end < 0 ? bytes : bytes.left(end));
}

QByteArray u16(uint16_t v)
{
    return QByteArray(reinterpret_cast<const char *>(&v), 2);
}

// A line between the tool and an in-process virtual logger on which the test answers chosen
// requests itself: the tool opens a pty of its own; every request it sends is relayed to the
// logger unless `intercept` claims it, and then only the intercept's reply (if any) comes
// back. The logger's packets are relayed whole, so a reply never lands inside one.
class TamperingLine
{
public:
    using Intercept = std::function<bool(const QByteArray &request, QByteArray *reply)>;

    TamperingLine(VirtualLoggerRunner &sim, Intercept intercept) : m_intercept(std::move(intercept))
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        m_path = QString::fromLocal8Bit(ptsname(m_master));
        // Raw from the start, and held open so the line never hangs up between the tool's opens.
        m_slave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY);
        termios t{};
        if (m_slave < 0 || tcgetattr(m_slave, &t) != 0)
            return;
        cfmakeraw(&t);
        tcsetattr(m_slave, TCSANOW, &t);

        m_requests.setHandler([this](const QByteArray &request) {
            QByteArray reply;
            if (!m_intercept(request, &reply))
                m_device->write(request);
            else if (!reply.isEmpty())
                toTool(reply);
        });
        m_replies.setPacketHandler([this](const Network::PacketBase &packet, int length) {
            toTool(QByteArray(reinterpret_cast<const char *>(&packet), length));
        });
        m_device = sim.startInProcess();
        QObject::connect(m_device, &QIODevice::readyRead, [this] { m_replies.feed(m_device->readAll()); });
        m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, [this] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(m_master, buffer, sizeof buffer)) > 0)
                m_requests.feed(QByteArray(buffer, int(n)));
        });
    }

    ~TamperingLine()
    {
        delete m_notifier;
        delete m_device;
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
    }

    bool isOpen() const { return m_device != nullptr; }
    QString portName() const { return m_path; }

private:
    void toTool(const QByteArray &bytes)
    {
        // A full buffer while the tool is not reading loses bytes, as a real line would.
        const ssize_t written = ::write(m_master, bytes.constData(), size_t(bytes.size()));
        (void)written;
    }

    Intercept m_intercept;
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
    InProcessSerialDevice *m_device = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    DeviceRequestFramer m_requests;
    PacketParser m_replies{Network::Direction::ServerToClient};
};

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

class CliProtocol : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFileInfo::exists(qEnvironmentVariable("TW_BIN_DIR") + QStringLiteral("/tarrowind-cli")))
            GTEST_SKIP() << "tarrowind-cli is not built";
        ASSERT_TRUE(dir.isValid());
    }

    void startLogger(VirtualLoggerConfig config = VirtualLoggerConfig())
    {
        config.debugMessageIntervalMs = 0;
        sim = std::make_unique<VirtualLoggerRunner>(config);
        QString error;
        ASSERT_TRUE(sim->startPty(QString(), &error)) << error.toStdString();
    }

    Result run(const QStringList &args)
    {
        const CliResult r = runCli(args, {}, 90000);
        return {r.status, QString::fromUtf8(r.out), r.status == -1 && r.err.isEmpty() ? "(did not finish)" : r.err};
    }

    Result runOnLogger(QStringList args) { return run(QStringList{QStringLiteral("--port"), sim->portName()} + args); }

    QJsonObject json(const Result &r)
    {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(r.out.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
        return doc.object();
    }

    // A failure is exactly one line on stderr, nothing on stdout, and exit status 1.
    static void expectOneLineFailure(const Result &r, const QString &needle)
    {
        EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        const QString line = r.err.trimmed();
        EXPECT_FALSE(line.contains(QLatin1Char('\n'))) << r.err.toStdString();
        EXPECT_TRUE(line.startsWith(QLatin1String("tarrowind-cli: "))) << r.err.toStdString();
        EXPECT_TRUE(line.contains(needle)) << "wanted '" << needle.toStdString() << "' in: " << r.err.toStdString();
    }

    template <typename F> auto device(F f)
    {
        decltype(f(std::declval<VirtualLogger &>())) value{};
        sim->withDevice([&](VirtualLogger &d) { value = f(d); });
        return value;
    }

    QTemporaryDir dir;
    std::unique_ptr<VirtualLoggerRunner> sim;
};

TEST_F(CliProtocol, InfoReportsIdentityClockAndStatistics)
{
    VirtualLoggerConfig config;
    config.seed = 17;
    config.patchLevel = 4300;
    config.modelRevision = 5;
    config.buildType = QStringLiteral("debug");
    config.clockOffsetMs = -2 * 3600 * 1000;
    startLogger(config);

    const Result r = runOnLogger({QStringLiteral("info"), QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.isEmpty()) << "the protocol log stays off the terminal: " << r.err.toStdString();
    const QJsonObject o = json(r);
    EXPECT_EQ(o.value("serverType").toString(), "ServerType_Kestrelcove");
    EXPECT_EQ(o.value("model").toString(), "ModelType_Tarrowind3X");
    EXPECT_EQ(o.value("modelRevision").toInt(), 5);
    EXPECT_EQ(o.value("version").toString(), "0.1.4300");
    EXPECT_TRUE(o.value("firmwareOutdated").toBool());
    EXPECT_EQ(o.value("buildType").toString(), "debug");
    EXPECT_EQ(o.value("uniqueId").toString(), device([](VirtualLogger &d) { return d.uniqueId(); }));
    EXPECT_EQ(o.value("serialNumber").toString(), device([](VirtualLogger &d) { return d.serialNumber(); }));
    EXPECT_FALSE(o.value("serialNumber").toString().isEmpty());
    EXPECT_EQ(o.value("deviceName").toString(), device([](VirtualLogger &d) {
                  return text32(d.persistent256(int(PersistentName256::DeviceName_UserString)));
              }));
    EXPECT_EQ(o.value("jobName").toString(), device([](VirtualLogger &d) {
                  return text32(d.persistent256(int(PersistentName256::DeviceName_JobNameString)));
              }));

    // The device runs two hours behind the host.
    const double skew = o.value("skewMs").toDouble();
    EXPECT_NEAR(skew, -2.0 * 3600 * 1000, 2000.0);
    const QDateTime clock = QDateTime::fromString(o.value("clock").toString(), Qt::ISODateWithMs);
    ASSERT_TRUE(clock.isValid()) << o.value("clock").toString().toStdString();
    EXPECT_NEAR(double(clock.msecsTo(QDateTime::currentDateTimeUtc())), 2.0 * 3600 * 1000, 60000.0);

    const QJsonObject stats = o.value("stats").toObject();
    EXPECT_EQ(stats.size(), 28);
    const double uptime = stats.value("uptimeNanos").toDouble();
    EXPECT_GT(uptime, 0.0);
    EXPECT_LE(uptime, double(device([](VirtualLogger &d) { return d.uptimeNs(VirtualLoggerRunner::monotonicNs()); })));
    EXPECT_GE(stats.value("packetsUnderstood").toDouble(), 9.0) << "the connection batch was counted";
    EXPECT_GT(stats.value("uartRxBytes").toDouble(), 0.0);
    EXPECT_EQ(uint32_t(stats.value("errorFlags").toDouble()), 0u);
    EXPECT_TRUE(o.value("errorFlagNames").toArray().isEmpty());

    // The plain form carries the same facts, one per line.
    const Result text = runOnLogger({QStringLiteral("info")});
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains("\nunique id: " + o.value("uniqueId").toString() + "\n")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("\nserial number: " + o.value("serialNumber").toString() + "\n"));
    EXPECT_TRUE(text.out.contains(QRegularExpression("\nversion: 0\\.1\\.4300 \\(outdated")));
    const auto skewLine = QRegularExpression("\nskew: (-?\\d+) ms\n").match(text.out);
    ASSERT_TRUE(skewLine.hasMatch()) << text.out.toStdString();
    EXPECT_NEAR(skewLine.captured(1).toDouble(), -2.0 * 3600 * 1000, 2000.0);
    EXPECT_TRUE(text.out.contains("\n  errorFlags: 0\n"));
}

TEST_F(CliProtocol, VarsListsEveryVariableAsTheLoggerHoldsIt)
{
    startLogger();
    const Result r = runOnLogger({QStringLiteral("vars"), QStringLiteral("--json")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonObject o = json(r);
    const QJsonObject temporaries = o.value("temporaries").toObject();
    const QJsonObject persistents = o.value("persistents").toObject();
    const QJsonObject permanents = o.value("permanents").toObject();
    EXPECT_EQ(o.size(), 3);
    EXPECT_EQ(temporaries.size(), Network::kTemporary16Count);
    EXPECT_EQ(persistents.size(), Network::kPersistent16Count + Network::kPersistent256Count);
    EXPECT_EQ(permanents.size(), Network::kPermanent16Count + Network::kPermanent256Count);

    // Each name against the device's own value. The connection itself leaves the logger
    // unlocked with its sample stream on.
    sim->withDevice([&](VirtualLogger &d) {
        const QMetaEnum t = QMetaEnum::fromType<TemporaryName16>();
        for (int i = 0; i < Network::kTemporary16Count; ++i)
            EXPECT_EQ(temporaries.value(t.valueToKey(i)).toInt(-1), d.temporary(i)) << t.valueToKey(i);
        const QMetaEnum p = QMetaEnum::fromType<PersistentName16>();
        for (int i = 0; i < Network::kPersistent16Count; ++i)
            EXPECT_EQ(persistents.value(p.valueToKey(i)).toInt(-1), d.persistent16(i)) << p.valueToKey(i);
        const QMetaEnum p256 = QMetaEnum::fromType<PersistentName256>();
        for (int i = 0; i < Network::kPersistent256Count; ++i)
            EXPECT_EQ(persistents.value(p256.valueToKey(i)).toString(), text32(d.persistent256(i)))
                << p256.valueToKey(i);
        const QMetaEnum m = QMetaEnum::fromType<PermanentName16>();
        for (int i = 0; i < Network::kPermanent16Count; ++i)
            EXPECT_EQ(permanents.value(m.valueToKey(i)).toInt(-1), d.permanent16(i)) << m.valueToKey(i);
        EXPECT_EQ(permanents.value("SerialNumber").toString(), d.serialNumber());
    });
    EXPECT_EQ(temporaries.value("RawXyzOutput_Enable").toInt(), 1);
    EXPECT_EQ(temporaries.value("FlashLogging_RemoteLock").toInt(), 0);
    EXPECT_EQ(permanents.value("ModelType").toInt(), int(Network::ModelType_Tarrowind3X));

    const Result text = runOnLogger({QStringLiteral("vars")});
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.startsWith("temporaries:\n  RawXyzOutput_Enable = 1\n")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("\n  DeviceName_UserString = \"" +
                                  persistents.value("DeviceName_UserString").toString() + "\"\n"));
    EXPECT_TRUE(text.out.contains("\npermanents:\n"));
    EXPECT_TRUE(text.out.contains("\n  SerialNumber = \"" + permanents.value("SerialNumber").toString() + "\"\n"));
}

TEST_F(CliProtocol, SetVarWritesAndOnlySavedValuesOutliveARestart)
{
    startLogger();
    const auto commitMinutes = int(PersistentName16::FlashLogging_CommitMinutes);
    const auto divider = int(PersistentName16::PulseOutput_Divider);
    const auto jobName = int(PersistentName256::DeviceName_JobNameString);
    const auto ledGreen = int(TemporaryName16::LedMode_Green);
    const uint16_t ledBefore = device([&](VirtualLogger &d) { return d.temporary(ledGreen); });
    const uint16_t dividerBefore = device([&](VirtualLogger &d) { return d.persistent16(divider); });
    ASSERT_NE(ledBefore, 3);
    ASSERT_NE(dividerBefore, 7);

    Result r = runOnLogger({"set-var", "FlashLogging_CommitMinutes", "42"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "FlashLogging_CommitMinutes = 42\n");
    EXPECT_EQ(device([&](VirtualLogger &d) { return d.persistent16(commitMinutes); }), 42);

    // Hexadecimal, and the protocol log's spelling of the name.
    r = runOnLogger({"set-var", "Network::LedMode_Green", "0x3"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "LedMode_Green = 3\n");
    EXPECT_EQ(device([&](VirtualLogger &d) { return d.temporary(ledGreen); }), 3);

    // A text with a character beyond Latin-1 and exactly 32 bytes: no terminator on the wire.
    const QString thirtyTwo = QStringLiteral("Zähler Keller Nord 2026 Block-7");
    ASSERT_EQ(thirtyTwo.toUtf8().size(), 32);
    r = runOnLogger({"set-var", "DeviceName_JobNameString", thirtyTwo, "--save"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "DeviceName_JobNameString = \"" + thirtyTwo + "\" (saved)\n");
    EXPECT_EQ(device([&](VirtualLogger &d) { return d.persistent256(jobName); }), thirtyTwo.toUtf8());
    EXPECT_EQ(sim->requestCount(Network::C2S_SavePersistents), 1u);

    // Written after the save and not saved itself.
    r = runOnLogger({"set-var", "PulseOutput_Divider", "7"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(device([&](VirtualLogger &d) { return d.persistent16(divider); }), 7);
    EXPECT_EQ(sim->requestCount(Network::C2S_SavePersistents), 1u);

    sim->restartDevice();
    r = runOnLogger({"vars", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonObject o = json(r);
    EXPECT_EQ(device([](VirtualLogger &d) { return d.restarts(); }), 1);
    EXPECT_EQ(o.value("persistents").toObject().value("DeviceName_JobNameString").toString(), thirtyTwo);
    EXPECT_EQ(o.value("persistents").toObject().value("FlashLogging_CommitMinutes").toInt(), 42)
        << "saved along with the job name";
    EXPECT_EQ(o.value("persistents").toObject().value("PulseOutput_Divider").toInt(), dividerBefore) << "never saved";
    EXPECT_EQ(o.value("temporaries").toObject().value("LedMode_Green").toInt(), ledBefore) << "temporaries reset";

    // An empty text clears the variable.
    r = runOnLogger({"set-var", "DeviceName_JobNameString", ""});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "DeviceName_JobNameString = \"\"\n");
    EXPECT_EQ(device([&](VirtualLogger &d) { return d.persistent256(jobName); }), QByteArray(32, '\0'));
}

TEST_F(CliProtocol, SetVarRefusesBadNamesAndValuesBeforeWriting)
{
    startLogger();
    const auto writes = [&] {
        return sim->requestCount(Network::C2S_WriteTemporary16) + sim->requestCount(Network::C2S_WritePersistent16) +
               sim->requestCount(Network::C2S_WritePersistent256) + sim->requestCount(Network::C2S_WritePermanent16) +
               sim->requestCount(Network::C2S_WritePermanent256);
    };
    const uint64_t writesBefore = writes();

    expectOneLineFailure(runOnLogger({"set-var", "NoSuchVariable", "1"}), "unknown variable 'NoSuchVariable'");
    expectOneLineFailure(runOnLogger({"set-var", "ledmode_green", "1"}), "unknown variable 'ledmode_green'");
    expectOneLineFailure(runOnLogger({"set-var", "TemporaryName16Count", "1"}), "unknown variable");
    expectOneLineFailure(runOnLogger({"set-var", "FlashLogging_CommitMinutes", "65536"}), "0 to 65535");
    expectOneLineFailure(runOnLogger({"set-var", "FlashLogging_CommitMinutes", "-1"}), "0 to 65535");
    expectOneLineFailure(runOnLogger({"set-var", "FlashLogging_CommitMinutes", "twelve"}), "0 to 65535");
    expectOneLineFailure(runOnLogger({"set-var", "DeviceName_UserString", QString(33, QLatin1Char('x'))}),
                         "at most 32 bytes");
    expectOneLineFailure(runOnLogger({"set-var", "SerialNumber", "X-1"}), "permanent");
    expectOneLineFailure(runOnLogger({"set-var", "LedMode_Green", "1", "--save"}), "temporary");
    expectOneLineFailure(runOnLogger({"set-var", "LedMode_Green"}), "usage");
    expectOneLineFailure(runOnLogger({"set-var", "LedMode_Green", "1", "--force"}), "unknown option --force");
    EXPECT_EQ(writes(), writesBefore);
    EXPECT_EQ(sim->requestCount(Network::C2S_SavePersistents), 0u);
}

TEST_F(CliProtocol, RefusedAndUnansweredWritesEndWithTheReason)
{
    sim = std::make_unique<VirtualLoggerRunner>();
    const auto commitMinutes = uint16_t(PersistentName16::FlashLogging_CommitMinutes);
    const auto divider = uint16_t(PersistentName16::PulseOutput_Divider);
    const auto jobName = uint16_t(PersistentName256::DeviceName_JobNameString);
    uint16_t firstJobNameRead = 0, jobNameWritten = 0;
    TamperingLine line(*sim, [&](const QByteArray &request, QByteArray *reply) {
        Network::PacketBase header{};
        std::memcpy(&header, request.constData(), sizeof header);
        if (header.type == Network::C2S_WritePersistent16) {
            Network::C2S_WriteVariable16Packet write{};
            std::memcpy(&write, request.constData(), sizeof write);
            if (write.name == commitMinutes) {
                *reply = Network::encodePacket(Network::S2C_WritePersistent16Result, header.requestId,
                                               u16(write.name) + u16(VirtualLogger::kErrorBadValue));
                return true;
            }
            return write.name == divider;  // swallowed: never answered
        }
        if (header.type == Network::C2S_SavePersistents) {
            *reply = Network::encodePacket(Network::S2C_SavePersistentsResult, header.requestId, u16(7));
            return true;
        }
        if (header.type == Network::C2S_ReadPersistent256 && request.at(sizeof header) == 0) {  // the device name
            *reply = Network::encodePacket(Network::S2C_ReadPersistent256Result, header.requestId,
                                           u16(0) + u16(4) + QByteArray(32, 'x'));
            return true;
        }
        // The job name's read-back is answered, and then an earlier read of it (a resend
        // answered late) still brings the old value: the verdict is the read-back's own.
        if (header.type == Network::C2S_ReadPersistent256 && request.size() >= 10 &&
            request.mid(8, 2) == u16(jobName)) {
            if (jobNameWritten == 0) {
                firstJobNameRead = header.requestId;
                return false;
            }
            const auto answer = [&](uint16_t id, const QByteArray &text) {
                return Network::encodePacket(Network::S2C_ReadPersistent256Result, id,
                                             u16(jobName) + u16(0) + text.leftJustified(32, '\0'));
            };
            *reply = answer(header.requestId, device([](VirtualLogger &d) { return d.persistent256(1); })) +
                     answer(firstJobNameRead ? firstJobNameRead : jobNameWritten, QByteArray());
            return true;
        }
        if (header.type == Network::C2S_WritePersistent256 && request.mid(8, 2) == u16(jobName))
            jobNameWritten = header.requestId;
        return false;
    });
    ASSERT_TRUE(line.isOpen());
    const QString port = line.portName();
    const auto held = [&](int name) { return device([&](VirtualLogger &d) { return d.persistent16(name); }); };
    const uint16_t commitBefore = held(commitMinutes);
    const uint16_t dividerBefore = held(divider);

    expectOneLineFailure(run({"--port", port, "set-var", "FlashLogging_CommitMinutes", "5"}),
                         QStringLiteral("the logger refused FlashLogging_CommitMinutes = 5 (error %1)")
                             .arg(VirtualLogger::kErrorBadValue));
    expectOneLineFailure(run({"--port", port, "set-var", "PulseOutput_Divider", "3"}),
                         "the logger did not answer the write request");
    EXPECT_EQ(held(commitMinutes), commitBefore);
    EXPECT_EQ(held(divider), dividerBefore);

    // The write itself goes through; only the save is refused.
    expectOneLineFailure(run({"--port", port, "set-var", "DeviceName_JobNameString", "kept", "--save"}),
                         "could not save its persistent variables (error 7)");
    EXPECT_EQ(text32(device([](VirtualLogger &d) { return d.persistent256(1); })), "kept");
    EXPECT_EQ(sim->requestCount(Network::C2S_SavePersistents), 0u);

    // A backup holds only what was read for it: a read answered with an error writes no file.
    const QString file = dir.filePath(QStringLiteral("vars.json"));
    expectOneLineFailure(run({"--port", port, "vars", "--backup", file}),
                         "read of DeviceName_UserString with error 4; no backup was written");
    EXPECT_FALSE(QFileInfo::exists(file));

    // Untouched requests still work over the same line.
    const Result ok = run({"--port", port, "set-var", "PulseOutput_Enable", "1"});
    EXPECT_EQ(ok.exitCode, 0) << ok.err.toStdString();
    EXPECT_EQ(held(int(PersistentName16::PulseOutput_Enable)), 1);
}

TEST_F(CliProtocol, VarsBackupAndRestoreThroughTheCommandLine)
{
    startLogger();
    const QString file = dir.filePath(QStringLiteral("vars.json"));
    Result r = runOnLogger({"vars", "--backup", file});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QString serial = device([](VirtualLogger &d) { return d.serialNumber(); });
    EXPECT_EQ(r.out, "Saved the 18 persistent variables of logger #" + serial + " to " + file + ".\n");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray saved = f.readAll();
    EXPECT_EQ(QJsonDocument::fromJson(saved).object().value("logger").toObject().value("serialNumber").toString(),
              serial);

    r = runOnLogger({"set-var", "PulseOutput_Divider", "9", "--save"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    r = runOnLogger({"vars", "--restore", file});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("Restored the 18 persistent variables")) << r.out.toStdString();
    EXPECT_EQ(device([](VirtualLogger &d) { return d.persistent16(int(PersistentName16::PulseOutput_Divider)); }), 1);

    // A refusal is one line, and the logger keeps what it has.
    QByteArray otherModel = saved;
    otherModel.replace("ModelType_Tarrowind3X", "ModelType_Unset");
    const QString other = dir.filePath(QStringLiteral("other.json"));
    QFile o(other);
    ASSERT_TRUE(o.open(QIODevice::WriteOnly));
    o.write(otherModel);
    o.close();
    const uint64_t writes = sim->requestCount(Network::C2S_WritePersistent16);
    expectOneLineFailure(runOnLogger({"vars", "--restore", other}), "model ModelType_Unset");
    EXPECT_EQ(sim->requestCount(Network::C2S_WritePersistent16), writes);
    expectOneLineFailure(runOnLogger({"vars", "--backup", file, "--restore", file}), "not both");
    expectOneLineFailure(runOnLogger({"vars", "--restore", file, "--json"}), "--json");
}

// A refused save rolls the restore back: the logger is left with the values it had before.
TEST_F(CliProtocol, RestoreRefusedByTheLoggerLeavesItsValuesAsBefore)
{
    VirtualLoggerConfig config;
    config.refuseSave = true;
    startLogger(config);
    const QString file = dir.filePath(QStringLiteral("vars.json"));
    ASSERT_EQ(runOnLogger({"vars", "--backup", file}).exitCode, 0);
    // Unsaved changes since the backup, so that the restore has something to undo.
    ASSERT_EQ(runOnLogger({"set-var", "PulseOutput_Divider", "9"}).exitCode, 0);
    ASSERT_EQ(runOnLogger({"set-var", "DeviceName_JobNameString", "changed"}).exitCode, 0);
    const QJsonObject before = json(runOnLogger({"vars", "--json"}));
    expectOneLineFailure(runOnLogger({"vars", "--restore", file}),
                         "the logger refused to save (error 7); its values are as before the restore");
    EXPECT_EQ(json(runOnLogger({"vars", "--json"})), before);
}

TEST_F(CliProtocol, SyncClockSetsTheLoggerToHostTime)
{
    VirtualLoggerConfig config;
    config.clockOffsetMs = 90 * 60 * 1000 + 1234;
    startLogger(config);

    const Result r = runOnLogger({QStringLiteral("sync-clock")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const auto before = QRegularExpression("skew before: (-?\\d+) ms\n").match(r.out);
    const auto after = QRegularExpression("skew after: (-?\\d+) ms\n").match(r.out);
    ASSERT_TRUE(before.hasMatch() && after.hasMatch()) << r.out.toStdString();
    EXPECT_NEAR(before.captured(1).toDouble(), 90.0 * 60 * 1000 + 1234, 2000.0);
    EXPECT_NEAR(after.captured(1).toDouble(), 0.0, 1000.0);
    EXPECT_EQ(sim->requestCount(Network::C2S_SetDateTime), 1u);

    // The device's own clock agrees with the host's now.
    const int64_t deviceMs =
        device([](VirtualLogger &d) { return d.deviceTimeNs(VirtualLoggerRunner::monotonicNs()); }) / kMs;
    EXPECT_NEAR(double(deviceMs - QDateTime::currentMSecsSinceEpoch()), 0.0, 1000.0);
}

TEST_F(CliProtocol, FirmwareIsStartedWhenTheLoggerWaitsInItsBootloader)
{
    VirtualLoggerConfig config;
    config.startInBootloader = true;
    startLogger(config);
    const Result r = runOnLogger(
        {QStringLiteral("info"), QStringLiteral("--json"), QStringLiteral("--timeout"), QStringLiteral("30")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(json(r).value("uniqueId").toString(), device([](VirtualLogger &d) { return d.uniqueId(); }));
    EXPECT_EQ(sim->mode(), VirtualLogger::Mode::Firmware);
}

TEST_F(CliProtocol, HelpVersionAndThePortOnEitherSideOfTheCommand)
{
    // A command's help needs no port; "help COMMAND" and "-h" give the same text.
    const Result help = run({"info", "--help"});
    EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
    EXPECT_TRUE(help.err.isEmpty()) << help.err.toStdString();
    EXPECT_TRUE(help.out.startsWith("usage: tarrowind-cli ")) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("--timeout S")) << help.out.toStdString();
    EXPECT_EQ(run({"help", "info"}).out, help.out);
    EXPECT_EQ(run({"--port", "/dev/null", "info", "-h"}).out, help.out);
    const Result programHelp = run({"-h"});
    EXPECT_EQ(programHelp.exitCode, 0);
    EXPECT_TRUE(programHelp.out.contains("\n  --port PORT set-var NAME VALUE")) << programHelp.out.toStdString();
    expectOneLineFailure(run({"help", "no-such-command"}), "unknown command 'no-such-command'");

    const Result version = run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(QRegularExpression("^tarrowind-cli \\d+\\.\\d+\\.\\d+\n$").match(version.out).hasMatch())
        << version.out.toStdString();
    // After the command, --version is the command's own option, not the program's.
    expectOneLineFailure(run({"firmware-build", "--version", "1.2.3"}), "usage: firmware-build");

    // The port after the command reaches the same logger; twice is a mistake, not a choice.
    startLogger();
    const Result info = run({"info", "--json", "--port", sim->portName()});
    ASSERT_EQ(info.exitCode, 0) << info.err.toStdString();
    EXPECT_EQ(json(info).value("uniqueId").toString(), device([](VirtualLogger &d) { return d.uniqueId(); }));
    expectOneLineFailure(run({"--port", sim->portName(), "vars", "--port", "/dev/null"}),
                         "--port given more than once");
    expectOneLineFailure(run({"--port", sim->portName(), "log-info", "x.rlog"}), "unknown option --port");
    expectOneLineFailure(run({"--port"}), "missing value after '--port'");
}

TEST_F(CliProtocol, ClearErrorsWithoutALogger)
{
    // A missing port fails at once, however long the time-out.
    expectOneLineFailure(run({"--port", "/dev/no-such-tarrowind-port", "info", "--timeout", "600"}),
                         "no logger answered on /dev/no-such-tarrowind-port: the port cannot be opened");

    // A terminal nobody answers on: the time-out, also past the switch to the bootloader's
    // line settings that the silence brings.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(ptsname(master));
    expectOneLineFailure(run({"--port", slave, "vars", "--timeout", "4.5"}),
                         QStringLiteral("no logger answered on %1 within 4.5 s").arg(slave));
    ::close(master);

    // Arguments.
    expectOneLineFailure(run({"info"}), "needs --port PORT");
    expectOneLineFailure(run({"--port", "/dev/null", "sync-clock", "--timeout", "soon"}), "--timeout needs a number");
    expectOneLineFailure(run({"--port", "/dev/null", "vars", "--timeout", "0"}), "--timeout needs a number");
    expectOneLineFailure(run({"--port", "/dev/null", "sync-clock", "--json"}), "unknown option --json");
    expectOneLineFailure(run({"--port", "/dev/null", "info", "extra"}), "unexpected argument 'extra'");
}

}  // namespace
