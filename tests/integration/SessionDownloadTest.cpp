// Session scan and download through the whole stack (serial port on a pty, protocol client,
// remote filesystem worker, downloader) against the virtual logger, compared with the
// logger's own account of what its flash holds.
#include "CliRun.h"
#include "MessageCapture.h"
#include "network/TarrowindFirmware.h"
#include "pulselog/PulseLog.h"
#include "remotefs/RemoteFileSystem.h"
#include "remotefs/SessionDownloader.h"
#include "serial/SerialComm.h"
#include "serial/SerialSupport.h"
#include "sim/VirtualLoggerRunner.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

namespace {

using Truth = VirtualFlashService::GroundTruth;
using SessionTruth = VirtualFlashService::SessionTruth;

QByteArray concat(const std::vector<QByteArray> &parts)
{
    QByteArray all;
    for (const auto &p : parts)
        all += p;
    return all;
}

struct Outcome {
    bool finished = false;
    bool success = false;
    QString error;
    QByteArray raw;
    int records = 0;
};

// The utility's side of the line, wired as the filesystem screen wires it.
class Rig
{
public:
    explicit Rig(VirtualLoggerConfig config)
    {
        initSerialSupport();
        config.debugMessageIntervalMs = 0;
        sim = std::make_unique<VirtualLoggerRunner>(config);
        QString error;
        started = sim->startPty(QString(), &error);
        if (!started)
            ADD_FAILURE() << error.toStdString();
        QObject::connect(&comm, &IODeviceFactory::ioDeviceChanged, &firmware,
                         [this]() { firmware.setIoDevice(comm.ioDevice()); });
        comm.setBaud(115200);
        comm.setParity(MlSerialPort::NoParity);
        comm.setAssertRts(false);
        comm.setSerialPort(sim->portName());
    }
    ~Rig()
    {
        fs.reset();
        firmware.setIoDevice(nullptr);
        sim->stop();
    }

    bool mount()
    {
        if (!started ||
            !waitUntil([this] { return firmware.connectionState() == TarrowindFirmware::ConnectionState_Ready; },
                       15000))
            return false;
        fs = std::make_unique<RemoteFileSystem>(&owner);
        fs->setTarrowindFirmware(&firmware);
        return waitUntil([this] { return fs->status() == RemoteFileSystem::Mounted; }, 15000);
    }
    bool scan()
    {
        QSignalSpy done(fs.get(), &RemoteFileSystem::sessionIndexingFinished);
        fs->beginScanningSessions();
        return waitUntil([&] { return done.count() == 1; }, 60000) && done.at(0).at(0).toBool();
    }
    Outcome download(const RemoteFilesystemSessionPtr &s, const std::function<void(int)> &onRecord = {})
    {
        SessionDownloader downloader;
        downloader.setRemoteFileSystem(fs.get());
        Outcome out;
        QObject::connect(fs.get(), &RemoteFileSystem::sessionSectorDownloaded, &downloader, [&](QByteArray) {
            ++out.records;
            if (onRecord)
                onRecord(out.records);
        });
        QObject::connect(&downloader, &SessionDownloader::sessionDownloadFinished, &downloader,
                         [&](bool ok, QString error) {
                             out.finished = true;
                             out.success = ok;
                             out.error = error;
                         });
        downloader.beginDownload(s.get());
        waitUntil([&] { return out.finished || !downloader.downloading(); }, 120000);
        spinFor(20);
        out.raw = downloader.pulseLog()->rawData();
        return out;
    }
    // A download that `interrupt` cuts short once the host has seen `atRecord` records. A busy
    // host can see them only after the whole session has arrived: that attempt shows nothing
    // about an interruption, so `restore` undoes what `interrupt` did and the next attempt runs
    // on a fresh mount, whose empty cache has the session cross the line again.
    Outcome interruptedDownload(RemoteFilesystemSessionPtr &s, int atRecord, const std::function<void()> &interrupt,
                                const std::function<void()> &restore = {})
    {
        Outcome out;
        for (int attempt = 0; attempt < 5; ++attempt) {
            bool interrupted = false;
            out = download(s, [&](int records) {
                if (records == atRecord && !interrupted) {
                    interrupted = true;
                    interrupt();
                }
            });
            if (!out.success)
                return out;
            if (interrupted && restore)
                restore();
            const uint32_t index = s->sessionIndex();
            fs.reset();
            if (!mount() || !scan())
                return out;
            for (const auto &found : fs->sessionList())
                if (found->sessionIndex() == index)
                    s = found;
        }
        ADD_FAILURE() << "every attempt ended before the host saw record " << atRecord;
        return out;
    }
    Truth truth()
    {
        Truth t;
        sim->withDevice([&](VirtualLogger &d) { t = d.flashService().groundTruth(); });
        return t;
    }
    template <typename F> void onFlash(F f)
    {
        sim->withDevice([&](VirtualLogger &d) { f(d.flashService()); });
    }
    static std::vector<const SessionTruth *> listed(const Truth &t)
    {
        std::vector<const SessionTruth *> out;
        for (const auto *s : t.closedSessions())
            if (s->listed)
                out.push_back(s);
        std::reverse(out.begin(), out.end());  // newest first, as the scan publishes them
        return out;
    }

    std::unique_ptr<VirtualLoggerRunner> sim;
    bool started = false;
    SerialComm comm;
    TarrowindFirmware firmware;
    QObject owner;
    std::unique_ptr<RemoteFileSystem> fs;
};

VirtualLoggerConfig scenario(uint32_t patchLevel, int sessions, uint32_t seed = 3)
{
    VirtualLoggerConfig c;
    c.seed = seed;
    c.patchLevel = patchLevel;
    c.flash.seed = seed;
    c.flash.closedSessions = sessions;
    c.flash.minSessionDays = 0.5;
    c.flash.maxSessionDays = 1.5;
    c.flash.openSessionHours = 3;
    return c;
}

void expectListMatches(Rig &rig, const Truth &truth)
{
    const auto expected = Rig::listed(truth);
    const auto sessions = rig.fs->sessionList();
    ASSERT_EQ(sessions.size(), expected.size());
    for (size_t i = 0; i < sessions.size(); ++i) {
        SCOPED_TRACE(expected[i]->index);
        EXPECT_EQ(sessions[i]->sessionIndex(), expected[i]->index);
        EXPECT_EQ(sessions[i]->filename(), expected[i]->name);
        EXPECT_EQ(sessions[i]->startAddress(), expected[i]->startSector);
        EXPECT_EQ(sessions[i]->endAddress(), expected[i]->endSector);
    }
    for (const auto &s : truth.sessions) {
        if (!s.open)
            continue;
        for (const auto &listed : sessions) {
            EXPECT_NE(listed->sessionIndex(), s.index) << "an open file was listed";
        }
    }
}

}  // namespace

class SessionDownload : public ::testing::Test
{
protected:
    // A failure under load is rarely repeated at will: what the stack logged goes with it.
    void TearDown() override
    {
        if (!HasFailure())
            return;
        const QStringList lines = log.messages();
        for (int i = std::max(0, int(lines.size()) - 200); i < lines.size(); ++i)
            fprintf(stderr, "log: %s\n", qPrintable(lines[i].left(200)));
    }
    MessageCapture log;
};

TEST_F(SessionDownload, EverySessionMatchesTheLoggerAtEveryReadPath)
{
    for (uint32_t patch : {4040u, 4251u, 4468u}) {
        SCOPED_TRACE(patch);
        Rig rig(scenario(patch, 3));
        ASSERT_TRUE(rig.mount());
        ASSERT_TRUE(rig.scan());
        const Truth truth = rig.truth();
        expectListMatches(rig, truth);
        const auto expected = Rig::listed(truth);
        const auto sessions = rig.fs->sessionList();
        ASSERT_EQ(sessions.size(), 3u);
        for (size_t i = 0; i < sessions.size(); ++i) {
            const auto &s = *sessions[i];
            EXPECT_EQ(s.startTime().toMSecsSinceEpoch(), expected[i]->firstTimeMs);
            EXPECT_EQ(s.endTime().toMSecsSinceEpoch(), expected[i]->lastTimeMs);
            const QString a = s.startTime().toString("MMM dd yyyy"), b = s.endTime().toString("MMM dd yyyy");
            EXPECT_EQ(s.dateString(), a == b ? a : a + "-" + b);
        }
        for (size_t i = 0; i < sessions.size(); ++i) {
            const Outcome out = rig.download(sessions[i]);
            EXPECT_TRUE(out.success) << out.error.toStdString();
            EXPECT_EQ(out.raw, expected[i]->rawLog()) << "session " << expected[i]->index;
        }
        // Scan and downloads together fetch every sector once. The one exception is the page
        // path: a state record read as a sector during the scan comes again with its page when
        // the download reads that page whole (its other sectors were never cached).
        rig.onFlash([&](VirtualFlashService &f) {
            for (const auto &d : f.sectorsFetchedMoreThanOnce()) {
                const bool stateRecordThenPage = patch > 4251 && d.second == 2 && f.sectorRequestCount(d.first) == 1 &&
                                                 f.pageRequestCount(d.first / 4) == 1;
                EXPECT_TRUE(stateRecordThenPage) << "sector " << d.first << " fetched " << d.second << " times";
            }
            for (uint32_t p = 0; p < 0x20000; ++p)
                ASSERT_LE(f.pageRequestCount(p), 1u) << "page " << p;
        });
        const uint64_t pages = rig.sim->requestCount(Network::C2S_FlashReadPage);
        const uint64_t sectors =
            rig.sim->requestCount(patch >= 4162 ? Network::C2S_FlashReadLz528 : Network::C2S_FlashRead528);
        if (patch <= 4251) {
            EXPECT_EQ(pages, 0u);
            EXPECT_GT(sectors, 0u);
        } else {
            EXPECT_GT(pages, 0u);
            EXPECT_LT(sectors, pages) << "only the state-chain records are read as sectors";
        }
    }
}

TEST_F(SessionDownload, DamagedPagesAndRecordsAreSkippedAndTheRestArrives)
{
    VirtualLoggerConfig c = scenario(4468, 2, 5);
    c.flash.unusablePages = 2;
    Rig rig(c);
    Truth before = rig.truth();
    const auto closed = before.closedSessions();
    ASSERT_EQ(closed.size(), 2u);
    const uint32_t a = closed[0]->index, b = closed[1]->index;
    std::vector<uint32_t> corrected;
    rig.onFlash([&](VirtualFlashService &f) {
        corrected.push_back(f.setRecordPageStatus(a, 20, VirtualFlash::PageStatus::EccCorrected));
        corrected.push_back(f.setRecordPageStatus(b, 30, VirtualFlash::PageStatus::EccCorrectedMany));
        f.setRecordPageStatus(a, 60, VirtualFlash::PageStatus::ReadFailure);
        EXPECT_TRUE(f.corruptRecordCrc(b, 50));
    });
    ASSERT_TRUE(rig.mount());
    ASSERT_TRUE(rig.scan());
    const Truth truth = rig.truth();
    expectListMatches(rig, truth);
    for (const auto &s : rig.fs->sessionList()) {
        const SessionTruth *t = truth.session(s->sessionIndex());
        ASSERT_TRUE(t);
        EXPECT_LT(t->expectedDownload().size(), t->records.size()) << "the scenario damages every session";
        const Outcome out = rig.download(s);
        EXPECT_TRUE(out.success) << out.error.toStdString();
        EXPECT_EQ(out.raw, concat(t->expectedDownload())) << "session " << t->index;
    }
    EXPECT_TRUE(log.containsText("SpiFlash datablock checksum fail!"));
    rig.onFlash([&](VirtualFlashService &f) {
        for (const auto *t : truth.closedSessions())
            for (uint32_t page : t->unusablePages)
                EXPECT_EQ(f.pageRequestCount(page), 0u) << "page " << page << " has a cleared map bit";
    });
    EXPECT_EQ(before.closedSessions().front()->unusablePages.size() +
                  before.closedSessions().back()->unusablePages.size(),
              2u);
}

TEST_F(SessionDownload, BrokenStateChainListsTheSessionsFoundSoFar)
{
    Rig rig(scenario(4468, 4, 8));
    const Truth full = rig.truth();
    const auto closed = full.closedSessions();
    ASSERT_EQ(closed.size(), 4u);
    rig.onFlash([&](VirtualFlashService &f) {
        EXPECT_TRUE(f.breakStateChainBefore(closed[2]->index, FlashFilesystemWriter::ChainBreak::BadCrc));
    });
    ASSERT_TRUE(rig.mount());
    ASSERT_TRUE(rig.scan());
    const Truth truth = rig.truth();
    expectListMatches(rig, truth);
    EXPECT_LT(rig.fs->sessionList().size(), 4u);
    EXPECT_GE(rig.fs->sessionList().size(), 1u);
}

TEST_F(SessionDownload, StreamWrappingPastTheEndOfTheFlashDownloadsInOrder)
{
    VirtualLoggerConfig c = scenario(4468, 3, 11);
    c.flash.wrapAround = true;
    Rig rig(c);
    ASSERT_TRUE(rig.mount());
    ASSERT_TRUE(rig.scan());
    const Truth truth = rig.truth();
    expectListMatches(rig, truth);
    bool sawWrap = false;
    for (const auto &s : rig.fs->sessionList()) {
        const SessionTruth *t = truth.session(s->sessionIndex());
        sawWrap = sawWrap || t->wraps();
        if (t->wraps()) {
            EXPECT_EQ(s->filesize(), uint64_t(t->endSector + 0x80000 - t->startSector + 2) * 528);
        }
        const Outcome out = rig.download(s);
        EXPECT_TRUE(out.success);
        EXPECT_EQ(out.raw, t->rawLog()) << "session " << t->index;
    }
    EXPECT_TRUE(sawWrap);
}

TEST_F(SessionDownload, NoisyLineNeverDeliversWrongData)
{
    Rig rig(scenario(4468, 1, 13));
    ASSERT_TRUE(rig.mount());
    ASSERT_TRUE(rig.scan());
    const uint32_t index = rig.fs->sessionList().front()->sessionIndex();
    const QByteArray expected = rig.truth().session(index)->rawLog();
    // Each round remounts (a fresh cache), so everything crosses the noisy line again.
    auto remountAndFind = [&]() -> RemoteFilesystemSessionPtr {
        rig.fs->setTarrowindFirmware(nullptr);
        rig.fs->setTarrowindFirmware(&rig.firmware);
        if (!waitUntil([&] { return rig.fs->status() == RemoteFileSystem::Mounted; }, 30000) || !rig.scan())
            return nullptr;
        for (const auto &s : rig.fs->sessionList())
            if (s->sessionIndex() == index)
                return s;
        return nullptr;
    };

    // One byte in ten thousand lost or spoiled: the retries repair everything.
    LineFaultConfig light;
    light.dropProbability = light.corruptProbability = 1e-4;
    for (uint32_t round = 1; round <= 5 && rig.sim->droppedBytes() + rig.sim->corruptedBytes() == 0; ++round) {
        light.seed = 20 + round;
        rig.sim->setFaults(light);
        const auto session = remountAndFind();
        ASSERT_TRUE(session) << "round " << round;
        const Outcome out = rig.download(session);
        EXPECT_TRUE(out.success) << out.error.toStdString();
        EXPECT_EQ(out.raw, expected) << "round " << round;
    }
    EXPECT_GT(rig.sim->droppedBytes() + rig.sim->corruptedBytes(), 0u);

    // Ten times worse: the retries may run out, but what arrives is right. Every spoiled reply
    // costs a retry period, so the download gets a few seconds and is then cancelled.
    LineFaultConfig heavy = light;
    heavy.dropProbability = heavy.corruptProbability = 1e-3;
    heavy.seed = 99;
    rig.sim->setFaults(LineFaultConfig());
    const auto session = remountAndFind();
    ASSERT_TRUE(session);
    rig.sim->setFaults(heavy);
    QTimer::singleShot(8000, rig.fs.get(), [&] { rig.fs->cancelOperation(); });
    const Outcome out = rig.download(session);
    if (out.success) {
        EXPECT_EQ(out.raw, expected);
    } else if (out.finished) {
        EXPECT_TRUE(out.error == "Hardware/Connection error during session download" ||
                    out.error == "Session download cancelled")
            << out.error.toStdString();
    }
    EXPECT_EQ(out.raw, expected.left(out.raw.size())) << "a prefix of the right data at worst";
}

TEST_F(SessionDownload, UnplugDuringDownloadEndsWithConnectionError)
{
    Rig rig(scenario(4468, 1, 17));
    ASSERT_TRUE(rig.mount());
    ASSERT_TRUE(rig.scan());
    auto session = rig.fs->sessionList().front();
    const QByteArray expected = rig.truth().session(session->sessionIndex())->rawLog();
    rig.sim->setFaults([] {
        LineFaultConfig slow;
        slow.baudLimit = 115200;
        return slow;
    }());
    const Outcome out = rig.interruptedDownload(
        session, 20, [&] { rig.sim->unplug(); },
        [&] {
            ASSERT_TRUE(rig.sim->replug());
            rig.comm.setSerialPort(rig.sim->portName());
        });
    EXPECT_TRUE(out.finished);
    EXPECT_FALSE(out.success);
    EXPECT_EQ(out.error, QString("Hardware/Connection error during session download"));
    EXPECT_EQ(out.raw, expected.left(out.raw.size()));
    EXPECT_EQ(rig.fs->status(), RemoteFileSystem::Unmounted);
}

TEST_F(SessionDownload, CancelEndsTheDownloadAsDescribed)
{
    Rig rig(scenario(4251, 1, 19));
    ASSERT_TRUE(rig.mount());
    ASSERT_TRUE(rig.scan());
    auto session = rig.fs->sessionList().front();
    const QByteArray expected = rig.truth().session(session->sessionIndex())->rawLog();
    LineFaultConfig slow;
    slow.baudLimit = 115200;
    rig.sim->setFaults(slow);
    const Outcome out = rig.interruptedDownload(session, 10, [&] { rig.fs->cancelOperation(); });
    EXPECT_FALSE(out.success);
    if (out.finished) {
        EXPECT_EQ(out.error, QString("Session download cancelled"));
    }
    EXPECT_EQ(rig.fs->status(), RemoteFileSystem::Mounted);
    EXPECT_GE(out.records, 10);
    EXPECT_LT(out.raw.size(), expected.size());
    EXPECT_EQ(out.raw, expected.left(out.raw.size()));
    // Still usable afterwards.
    rig.sim->setFaults(LineFaultConfig());
    ASSERT_TRUE(rig.scan());
    const Outcome again = rig.download(rig.fs->sessionList().front());
    EXPECT_TRUE(again.success);
    EXPECT_EQ(again.raw, expected);
}

// Reading ahead at each read path, on a line that loses and spoils bytes: a download cancelled
// in the middle delivers a correct prefix, and the next download, started at once while the
// cancelled one's reads may still be on the line, delivers the whole session.
TEST_F(SessionDownload, ReadAheadSurvivesLineFaultsAndACancelAtEveryReadPath)
{
    uint64_t faults = 0;
    for (uint32_t patch : {4040u, 4251u, 4468u}) {
        SCOPED_TRACE(patch);
        VirtualLoggerConfig c = scenario(patch, 1, 29);
        c.flash.minSessionDays = 0.3;  // a few dozen records: each lost reply costs a resend wait
        c.flash.maxSessionDays = 0.4;
        Rig rig(c);
        ASSERT_TRUE(rig.mount());
        ASSERT_TRUE(rig.scan());
        auto session = rig.fs->sessionList().front();
        const QByteArray expected = rig.truth().session(session->sessionIndex())->rawLog();
        ASSERT_GT(expected.size(), 20 * 520);
        LineFaultConfig noisy;
        noisy.dropProbability = noisy.corruptProbability = 1e-4;
        noisy.baudLimit = 460800;
        noisy.seed = patch;
        // Slow enough that the cancel comes before the end unless this thread sees the records
        // very late.
        LineFaultConfig slow = noisy;
        slow.baudLimit = 115200;
        rig.sim->setFaults(slow);

        const Outcome cancelled = rig.interruptedDownload(session, 4, [&] { rig.fs->cancelOperation(); });
        rig.sim->setFaults(noisy);
        EXPECT_FALSE(cancelled.success);
        EXPECT_LT(cancelled.raw.size(), expected.size());
        EXPECT_EQ(cancelled.raw, expected.left(cancelled.raw.size()));

        const Outcome again = rig.download(session);
        EXPECT_TRUE(again.success) << again.error.toStdString();
        EXPECT_EQ(again.raw, expected);
        EXPECT_EQ(rig.firmware.connectionState(), TarrowindFirmware::ConnectionState_Ready);
        faults += rig.sim->droppedBytes() + rig.sim->corruptedBytes();
    }
    EXPECT_GT(faults, 0u);
}

// The command-line tool as a black box: list and download against a logger on a pty.
TEST_F(SessionDownload, CommandLineListsAndDownloadsSessions)
{
    if (!QFileInfo::exists(qEnvironmentVariable("TW_BIN_DIR") + "/tarrowind-cli"))
        GTEST_SKIP() << "tarrowind-cli is not built";
    VirtualLoggerConfig config = scenario(4468, 2, 23);
    config.debugMessageIntervalMs = 0;
    VirtualLoggerRunner sim(config);
    ASSERT_TRUE(sim.startPty());
    Truth truth;
    sim.withDevice([&](VirtualLogger &d) { truth = d.flashService().groundTruth(); });
    const auto expected = Rig::listed(truth);
    ASSERT_EQ(expected.size(), 2u);

    // The tool remembers what it saved in the user's data folder: a folder of the test's own.
    QTemporaryDir dataHome;
    ASSERT_TRUE(dataHome.isValid());
    QByteArray out;
    QString err;
    auto run = [&](const QStringList &args, QByteArray *out, QString *err) {
        const CliResult r = runCli(args, {{"XDG_DATA_HOME", dataHome.path()}});
        *out = r.out;
        *err = r.err;
        return r.status;
    };
    ASSERT_EQ(run({"--port", sim.portName(), "sessions", "--json"}, &out, &err), 0) << err.toStdString();
    const QJsonArray list = QJsonDocument::fromJson(out).object().value("sessions").toArray();
    ASSERT_EQ(list.size(), 2);
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject s = list[i].toObject();
        EXPECT_EQ(uint32_t(s.value("index").toDouble()), expected[i]->index);
        EXPECT_EQ(s.value("name").toString(), expected[i]->name);
        EXPECT_EQ(QDateTime::fromString(s.value("start").toString(), Qt::ISODate).toMSecsSinceEpoch(),
                  expected[i]->firstTimeMs / 1000 * 1000);
        EXPECT_TRUE(
            s.value("fileName")
                .toString()
                .endsWith(QString("%1_%2.rlog").arg(expected[i]->index, 4, 10, QChar('0')).arg(expected[i]->name)));
    }

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(run({"--port", sim.portName(), "download", "--all", "-o", dir.path()}, &out, &err), 0)
        << err.toStdString();
    EXPECT_TRUE(err.contains("records")) << "progress on stderr";
    const QStringList files = QDir(dir.path()).entryList({"*.rlog"}, QDir::Files, QDir::Name);
    ASSERT_EQ(files.size(), 2);
    for (const auto *t : expected) {
        const QString suffix = QString("%1_%2.rlog").arg(t->index, 4, 10, QChar('0')).arg(t->name);
        const auto it = std::find_if(files.begin(), files.end(), [&](const QString &f) { return f.endsWith(suffix); });
        ASSERT_NE(it, files.end()) << suffix.toStdString();
        PulseLog log;
        ASSERT_TRUE(log.load(dir.filePath(*it)));
        EXPECT_EQ(log.rawData(), t->rawLog());
        EXPECT_EQ(log.metaData().value("Logger Job Name").toString(), t->name);
        EXPECT_FALSE(log.metaData().value("Logger Serial").toString().isEmpty());
    }
    // Downloading again never overwrites: the names are made unique.
    ASSERT_EQ(run({"--port", sim.portName(), "download", "--session", QString::number(expected[0]->index), "-o",
                   dir.filePath("one.rlog")},
                  &out, &err),
              0);
    PulseLog one;
    ASSERT_TRUE(one.load(dir.filePath("one.rlog")));
    EXPECT_EQ(one.rawData(), expected[0]->rawLog());
    ASSERT_EQ(run({"--port", sim.portName(), "download", "--all", "-o", dir.path()}, &out, &err), 0);
    EXPECT_EQ(QDir(dir.path()).entryList({"*(2).rlog"}, QDir::Files).size(), 2);

    // Failures: an unknown session, and no logger at all.
    EXPECT_NE(run({"--port", sim.portName(), "download", "--session", "999", "-o", dir.filePath("x.rlog")}, &out, &err),
              0);
    EXPECT_TRUE(err.contains("no closed session 999")) << err.toStdString();
    sim.stop();
    EXPECT_NE(run({"--port", "/dev/no-such-tarrowind-port", "sessions", "--timeout", "1"}, &out, &err), 0);
    EXPECT_TRUE(err.contains("no logger answered")) << err.toStdString();
}

// download --new against a logger on a pty: what any download saved is not fetched again.
TEST_F(SessionDownload, CommandLineDownloadsOnlyWhatWasNotSavedBefore)
{
    if (!QFileInfo::exists(qEnvironmentVariable("TW_BIN_DIR") + "/tarrowind-cli"))
        GTEST_SKIP() << "tarrowind-cli is not built";
    VirtualLoggerConfig config = scenario(4468, 3, 29);
    config.debugMessageIntervalMs = 0;
    VirtualLoggerRunner sim(config);
    ASSERT_TRUE(sim.startPty());
    Truth truth;
    sim.withDevice([&](VirtualLogger &d) { truth = d.flashService().groundTruth(); });
    const auto expected = Rig::listed(truth);  // newest first
    ASSERT_EQ(expected.size(), 3u);

    QTemporaryDir dataHome, dir;
    ASSERT_TRUE(dataHome.isValid() && dir.isValid());
    auto run = [&](const QStringList &args, QString *err) {
        const CliResult r =
            runCli(QStringList{"--port", sim.portName(), "download"} + args, {{"XDG_DATA_HOME", dataHome.path()}});
        *err = r.err;
        return r.status;
    };
    auto rlogs = [&] { return QDir(dir.path()).entryList({"*.rlog"}, QDir::Files, QDir::Name); };
    QString err;

    // One session saved by number first; --new then fetches the other two, oldest first.
    ASSERT_EQ(run({"--session", QString::number(expected[1]->index), "-o", dir.filePath("middle.rlog")}, &err), 0)
        << err.toStdString();
    ASSERT_EQ(run({"--new", "-o", dir.path()}, &err), 0) << err.toStdString();
    const QStringList files = rlogs();
    ASSERT_EQ(files.size(), 3) << files.join(' ').toStdString();
    EXPECT_LT(err.indexOf(QString("session %1:").arg(expected[2]->index)),
              err.indexOf(QString("session %1:").arg(expected[0]->index)))
        << err.toStdString();
    EXPECT_FALSE(err.contains(QString("session %1:").arg(expected[1]->index))) << err.toStdString();
    // Again: nothing is new, nothing is downloaded or written.
    ASSERT_EQ(run({"--new", "-o", dir.path()}, &err), 0) << err.toStdString();
    EXPECT_TRUE(err.contains("no new sessions")) << err.toStdString();
    EXPECT_FALSE(err.contains("records")) << err.toStdString();
    EXPECT_EQ(rlogs(), files);
    EXPECT_NE(run({"--new", "--all", "-o", dir.path()}, &err), 0);
    EXPECT_TRUE(err.contains("exactly one of")) << err.toStdString();
}

// Names from the logger (its device name, the sessions' names) never choose the folder, and a
// name taken 998 times over is an error rather than an overwrite.
TEST_F(SessionDownload, CommandLineKeepsHostileNamesInsideTheFolder)
{
    if (!QFileInfo::exists(qEnvironmentVariable("TW_BIN_DIR") + "/tarrowind-cli"))
        GTEST_SKIP() << "tarrowind-cli is not built";
    VirtualLoggerConfig config = scenario(4468, 1, 31);
    config.debugMessageIntervalMs = 0;
    config.flash.sessionName = "..\\..\\x:y";
    VirtualLoggerRunner sim(config);
    ASSERT_TRUE(sim.startPty());
    Truth truth;
    sim.withDevice([&](VirtualLogger &d) { truth = d.flashService().groundTruth(); });
    const QString base = QString("a_______up_%1_______x_y").arg(Rig::listed(truth).at(0)->index, 4, 10, QChar('0'));
    QTemporaryDir root, dataHome;
    auto run = [&](const QStringList &args, QString *err) {
        const CliResult r = runCli(QStringList{"--port", sim.portName()} + args, {{"XDG_DATA_HOME", dataHome.path()}});
        *err = r.err;
        return r.status;
    };
    QString err;
    ASSERT_EQ(run({"set-var", "DeviceName_UserString", "a/../../up"}, &err), 0) << err.toStdString();
    const QString out = root.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_EQ(run({"download", "--all", "-o", out}, &err), 0) << err.toStdString();
    EXPECT_EQ(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{base + ".rlog"});
    EXPECT_EQ(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"out"});

    // "(2)" to "(998)" taken as well: an error, not an overwrite.
    for (int n = 2; n <= 998; ++n)
        QFile(QDir(out).filePath(QString("%1(%2).rlog").arg(base).arg(n))).open(QIODevice::WriteOnly);
    EXPECT_EQ(run({"download", "--all", "-o", out}, &err), 1);
    EXPECT_TRUE(err.contains("no free file name")) << err.toStdString();
}
