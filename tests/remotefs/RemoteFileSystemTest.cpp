// RemoteFileSystem, its worker and SessionDownloader against a virtual logger: status
// machine, scan results and times, downloads, cancellation and a vanishing client.
#include "remotefs/RemoteFileSystem.h"
#include "MessageCapture.h"
#include "pulselog/PulseLog.h"
#include "remotefs/SessionDownloader.h"
#include "SimLogger.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <thread>

using namespace simtest;

namespace {

VirtualLoggerConfig scenario(uint32_t patchLevel = 4468, int closed = 3)
{
    VirtualLoggerConfig c;
    c.patchLevel = patchLevel;
    c.seed = 7;
    c.flash.closedSessions = closed;
    c.flash.minSessionDays = 0.5;
    c.flash.maxSessionDays = 1.0;
    c.flash.openSessionHours = 2;
    return c;
}

std::vector<RemoteFileSystem::Status> statusesOf(const QSignalSpy &spy)
{
    std::vector<RemoteFileSystem::Status> out;
    for (const auto &args : spy)
        out.push_back(args.at(0).value<RemoteFileSystem::Status>());
    return out;
}

QByteArray concat(const std::vector<QByteArray> &parts)
{
    QByteArray all;
    for (const auto &p : parts)
        all += p;
    return all;
}

void slowReplies(SimLogger &sim, int ms)
{
    sim.runner->withDevice([&](VirtualLogger &d) {
        VirtualFlashService::Timing t;
        t.sectorReadMs = t.pageReadMs = t.preparedPageMs = ms;
        d.flashService().setTiming(t);
    });
}

// Returns once `thread` has run everything queued to it so far, without running this thread's
// event loop, so whatever that work sent back here stays queued. The work must not need this
// thread meanwhile (the protocol client lives here); false if the thread did not get there.
bool drainThread(QThread &thread, int ms = 30000)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto *probe = new QObject;
    probe->moveToThread(&thread);
    QMetaObject::invokeMethod(
        probe,
        [probe, done] {
            done->store(true);
            probe->deleteLater();
        },
        Qt::QueuedConnection);
    return waitUntilWithoutEvents([&] { return done->load(); }, ms);
}

struct Mounted {
    explicit Mounted(const VirtualLoggerConfig &c) : sim(c) {}
    bool mount()
    {
        if (!sim.waitReady())
            return false;
        fs.setTarrowindFirmware(sim.client.get());
        return waitUntil([this] { return fs.status() == RemoteFileSystem::Mounted; });
    }
    bool scan()
    {
        QSignalSpy done(&fs, &RemoteFileSystem::sessionIndexingFinished);
        fs.beginScanningSessions();
        return waitUntil([&] { return done.count() == 1; }) && done.at(0).at(0).toBool() &&
               waitUntil([this] { return fs.status() == RemoteFileSystem::Mounted; });
    }
    SimLogger sim;
    QObject owner;
    RemoteFileSystem fs{&owner};
};

}  // namespace

TEST(RemoteFilesystemSessionTest, DateStringAndChangeSignals)
{
    RemoteFilesystemSession s(3, 10, 20, 1, 11 * 528, "x");
    EXPECT_EQ(s.dateString(), QString("Unknown"));
    QSignalSpy start(&s, &RemoteFilesystemSession::startTimeChanged);
    QSignalSpy date(&s, &RemoteFilesystemSession::dateStringChanged);
    const QDateTime a(QDate(2021, 3, 4), QTime(8, 0));
    s.setStartTime(a);
    EXPECT_EQ(s.dateString(), QString("Mar 04 2021-Unknown"));
    s.setStartTime(a);
    EXPECT_EQ(start.count(), 1);
    EXPECT_EQ(date.count(), 1);
    s.setEndTime(QDateTime(QDate(2021, 3, 4), QTime(23, 0)));
    EXPECT_EQ(s.dateString(), QString("Mar 04 2021"));
    s.setEndTime(QDateTime(QDate(2021, 3, 6), QTime(1, 0)));
    EXPECT_EQ(s.dateString(), QString("Mar 04 2021-Mar 06 2021"));
    EXPECT_EQ(date.count(), 3);
}

TEST(RemoteFileSystemTest, MountScanListsClosedSessionsNewestFirstWithTimes)
{
    Mounted m(scenario());
    QSignalSpy status(&m.fs, &RemoteFileSystem::statusChanged);
    ASSERT_TRUE(m.mount());
    QSignalSpy status2(&m.fs, &RemoteFileSystem::statusChanged);
    ASSERT_TRUE(m.scan());
    EXPECT_EQ(statusesOf(status).front(), RemoteFileSystem::BusyMounting);
    EXPECT_EQ(statusesOf(status2),
              (std::vector<RemoteFileSystem::Status>{RemoteFileSystem::BusyScanning, RemoteFileSystem::BusyScanningMeta,
                                                     RemoteFileSystem::Mounted}));
    const auto truth = m.sim.truth();
    std::vector<const VirtualFlashService::SessionTruth *> listed;
    for (const auto *s : truth.closedSessions())
        if (s->listed)
            listed.push_back(s);
    ASSERT_EQ(listed.size(), 3u);
    const auto sessions = m.fs.sessionList();
    ASSERT_EQ(sessions.size(), listed.size());
    EXPECT_EQ(m.fs.sessions().size(), int(listed.size()));
    // Wait for the queued times, then compare everything with the device's own account.
    ASSERT_TRUE(waitUntil([&] {
        for (const auto &s : sessions)
            if (s->endTime().isNull())
                return false;
        return true;
    }));
    for (size_t i = 0; i < sessions.size(); ++i) {
        const auto &s = *sessions[i];
        const auto &t = *listed[listed.size() - 1 - i];  // newest first
        SCOPED_TRACE(t.index);
        EXPECT_EQ(s.sessionIndex(), t.index);
        EXPECT_EQ(s.filename(), t.name);
        EXPECT_EQ(s.filetype(), t.fileType);
        EXPECT_EQ(s.startAddress(), t.startSector);
        EXPECT_EQ(s.endAddress(), t.endSector);
        EXPECT_EQ(s.startTime().toMSecsSinceEpoch(), t.firstTimeMs);
        EXPECT_EQ(s.endTime().toMSecsSinceEpoch(), t.lastTimeMs);
        EXPECT_EQ(s.thread(), m.owner.thread());
        const QString start = QDateTime::fromMSecsSinceEpoch(t.firstTimeMs).toString("MMM dd yyyy");
        const QString end = QDateTime::fromMSecsSinceEpoch(t.lastTimeMs).toString("MMM dd yyyy");
        EXPECT_EQ(s.dateString(), start == end ? start : start + "-" + end);
    }
    const auto *open = truth.session(truth.sessions.back().index);
    ASSERT_TRUE(open && open->open);
    for (const auto &s : sessions)
        EXPECT_NE(s->sessionIndex(), open->index);
}

TEST(RemoteFileSystemTest, ScanNeedsMountAndKeepsThePreviousListAlive)
{
    Mounted m(scenario(4468, 2));
    QSignalSpy requested(&m.fs, &RemoteFileSystem::scanRequested);
    m.fs.beginScanningSessions();  // unmounted: nothing
    EXPECT_EQ(requested.count(), 0);
    ASSERT_TRUE(m.mount());
    ASSERT_TRUE(m.scan());
    std::weak_ptr<RemoteFilesystemSession> first = m.fs.sessionList().front();
    ASSERT_TRUE(m.scan());
    EXPECT_FALSE(first.expired()) << "the list before the last one stays alive";
    ASSERT_TRUE(m.scan());
    spinFor(50);
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(requested.count(), 3);

    QSignalSpy cancel(&m.fs, &RemoteFileSystem::cancelOperationRequested);
    QSignalSpy status(&m.fs, &RemoteFileSystem::statusChanged);
    m.fs.cancelOperation();
    EXPECT_EQ(cancel.count(), 1);
    EXPECT_EQ(status.count(), 0);
    EXPECT_EQ(m.fs.status(), RemoteFileSystem::Mounted);
}

TEST(RemoteFileSystemTest, DownloaderFillsItsPulseLogWithTheSessionsRecords)
{
    for (uint32_t patch : {4251u, 4468u}) {
        SCOPED_TRACE(patch);
        Mounted m(scenario(patch, 2));
        ASSERT_TRUE(m.mount());
        ASSERT_TRUE(m.scan());
        SessionDownloader dl;
        dl.setRemoteFileSystem(&m.fs);
        QSignalSpy downloading(&dl, &SessionDownloader::downloadingChanged);
        QSignalSpy finished(&dl, &SessionDownloader::sessionDownloadFinished);
        MessageCapture log;
        const auto session = m.fs.sessionList().back();
        dl.beginDownload(session.get());
        EXPECT_TRUE(dl.downloading());
        ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }, 30000));
        EXPECT_TRUE(finished.at(0).at(0).toBool());
        EXPECT_EQ(finished.at(0).at(1).toString(), QString());
        EXPECT_FALSE(dl.downloading());
        ASSERT_EQ(downloading.count(), 2);
        EXPECT_TRUE(downloading.at(0).at(0).toBool());
        EXPECT_FALSE(downloading.at(1).at(0).toBool());
        EXPECT_EQ(m.fs.status(), RemoteFileSystem::Mounted);
        EXPECT_EQ(m.fs.sessionDownloading(), session->sessionIndex());
        const auto truth = m.sim.truth();
        EXPECT_EQ(dl.pulseLog()->rawData(), concat(truth.session(session->sessionIndex())->expectedDownload()));
        EXPECT_GT(dl.pulseLog()->totalPulseCount(), 0);
        EXPECT_TRUE(log.containsText("Download of")) << log.messages().join('\n').toStdString();
        EXPECT_TRUE(log.containsText("sectorPerSec:"));

        // A second download clears the log first, keeping the metadata.
        QVariantMap meta;
        meta["Notes"] = "kept";
        dl.pulseLog()->setMetaData(meta);
        dl.beginDownload(session.get());
        ASSERT_TRUE(waitUntil([&] { return finished.count() == 2; }, 30000));
        EXPECT_EQ(dl.pulseLog()->rawData(), concat(truth.session(session->sessionIndex())->expectedDownload()));
        EXPECT_EQ(dl.pulseLog()->metaData().value("Notes").toString(), QString("kept"));
    }
}

TEST(RemoteFileSystemTest, DownloaderEdgeCases)
{
    Mounted m(scenario(4468, 1));
    ASSERT_TRUE(m.mount());
    ASSERT_TRUE(m.scan());
    SessionDownloader dl;
    QSignalSpy downloading(&dl, &SessionDownloader::downloadingChanged);
    dl.beginDownload(m.fs.sessionList().front().get());  // no remote filesystem yet
    dl.setRemoteFileSystem(&m.fs);
    dl.beginDownload(nullptr);
    EXPECT_EQ(downloading.count(), 0);
    QSignalSpy cancel(&m.fs, &RemoteFileSystem::cancelOperationRequested);
    dl.cancelDownload();
    EXPECT_EQ(cancel.count(), 0);

    // A session that is not a pulse log downloads and succeeds, but adds nothing to the log.
    const auto real = m.fs.sessionList().front();
    auto other = std::make_shared<RemoteFilesystemSession>(real->sessionIndex(), real->startAddress(),
                                                           real->endAddress(), 7, real->filesize(), "other");
    QSignalSpy sectors(&m.fs, &RemoteFileSystem::sessionSectorDownloaded);
    QSignalSpy finished(&dl, &SessionDownloader::sessionDownloadFinished);
    dl.beginDownload(other.get());
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }, 30000));
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    EXPECT_GT(sectors.count(), 0);
    EXPECT_TRUE(dl.pulseLog()->rawData().isEmpty());

    // A session object not held by a shared pointer is a programming error.
    RemoteFilesystemSession loose(1, 0, 1, 1, 0, "loose");
    EXPECT_THROW(dl.beginDownload(&loose), std::bad_weak_ptr);
}

TEST(RemoteFileSystemTest, CancelDuringDownloadEndsPromptlyAndKeepsWhatArrived)
{
    Mounted m(scenario(4468, 1));
    ASSERT_TRUE(m.mount());
    ASSERT_TRUE(m.scan());
    const auto session = m.fs.sessionList().front();
    slowReplies(m.sim, 150);
    SessionDownloader dl;
    dl.setRemoteFileSystem(&m.fs);
    QSignalSpy sectors(&m.fs, &RemoteFileSystem::sessionSectorDownloaded);
    QSignalSpy finished(&dl, &SessionDownloader::sessionDownloadFinished);
    dl.beginDownload(session.get());
    ASSERT_TRUE(waitUntil([&] { return sectors.count() >= 2; }, 20000));
    dl.cancelDownload();
    EXPECT_EQ(m.fs.status(), RemoteFileSystem::Mounted);
    EXPECT_FALSE(dl.downloading());
    // The worker stops at once: either it reports the cancellation or it ends between records.
    waitUntil([&] { return finished.count() == 1; }, 1000);
    if (finished.count() == 1) {
        EXPECT_FALSE(finished.at(0).at(0).toBool());
        EXPECT_EQ(finished.at(0).at(1).toString(), QString("Session download cancelled"));
    }
    const int got = sectors.count();
    spinFor(500);
    EXPECT_EQ(sectors.count(), got) << "no records after the cancellation";
    const auto expected = m.sim.truth().session(session->sessionIndex())->expectedDownload();
    EXPECT_EQ(dl.pulseLog()->rawData(), concat(std::vector<QByteArray>(expected.begin(), expected.begin() + got)));
    // The worker is free again: a scan runs normally.
    slowReplies(m.sim, 0);
    ASSERT_TRUE(m.scan());
}

TEST(RemoteFileSystemTest, VanishingClientDuringDownloadUnmountsWithoutHanging)
{
    Mounted m(scenario(4468, 1));
    ASSERT_TRUE(m.mount());
    ASSERT_TRUE(m.scan());
    const auto session = m.fs.sessionList().front();
    slowReplies(m.sim, 2000);
    QSignalSpy clientChanged(&m.fs, &RemoteFileSystem::remoteKestrelcoveChanged);
    m.fs.downloadSession(session.get());
    spinFor(100);
    QElapsedTimer t;
    t.start();
    m.sim.client.reset();
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(m.fs.status(), RemoteFileSystem::Unmounted);
    EXPECT_EQ(m.fs.remoteKestrelcove(), nullptr);
    ASSERT_GE(clientChanged.count(), 1);
    EXPECT_EQ(clientChanged.last().at(0).value<TarrowindFirmware *>(), nullptr);
}

TEST(RemoteFileSystemTest, ClientReplacedDuringScanStartsAFreshMount)
{
    Mounted m(scenario(4468, 2));
    ASSERT_TRUE(m.mount());
    slowReplies(m.sim, 300);
    QSignalSpy sessionsChanged(&m.fs, &RemoteFileSystem::sessionsChanged);
    m.fs.beginScanningSessions();
    spinFor(100);
    m.fs.setTarrowindFirmware(nullptr);
    EXPECT_EQ(m.fs.status(), RemoteFileSystem::Unmounted);
    EXPECT_TRUE(m.fs.sessions().isEmpty());
    slowReplies(m.sim, 0);
    m.fs.setTarrowindFirmware(m.sim.client.get());
    EXPECT_EQ(m.fs.status(), RemoteFileSystem::BusyMounting);
    ASSERT_TRUE(waitUntil([&] { return m.fs.status() == RemoteFileSystem::Mounted; }));
    ASSERT_TRUE(m.scan());
    EXPECT_EQ(m.fs.sessionList().size(), 2u);
}

TEST(RemoteFileSystemTest, ResultsQueuedByAReplacedWorkerAreDropped)
{
    Mounted m(scenario(4468, 2));
    ASSERT_TRUE(m.mount());

    // A scan that has ended in the worker, but whose results have not been delivered yet. The
    // first scan fills the adapter's cache, so the second one runs without the client.
    ASSERT_TRUE(m.scan());
    m.fs.beginScanningSessions();
    ASSERT_TRUE(drainThread(m.fs));
    QSignalSpy status(&m.fs, &RemoteFileSystem::statusChanged);
    QSignalSpy indexed(&m.fs, &RemoteFileSystem::sessionIndexingFinished);
    QSignalSpy listChanged(&m.fs, &RemoteFileSystem::sessionsChanged);
    m.fs.setTarrowindFirmware(nullptr);
    spinFor(100);
    EXPECT_EQ(statusesOf(status), std::vector<RemoteFileSystem::Status>{RemoteFileSystem::Unmounted});
    EXPECT_EQ(indexed.count(), 0);
    EXPECT_TRUE(m.fs.sessions().isEmpty());
    EXPECT_EQ(listChanged.count(), 0) << "the list was emptied before the client was cleared";

    // Again, with the client set anew before those results are delivered: only the new mount may
    // end BusyMounting.
    ASSERT_TRUE(m.mount());
    ASSERT_TRUE(m.scan());
    m.fs.beginScanningSessions();
    ASSERT_TRUE(drainThread(m.fs));
    status.clear();
    indexed.clear();
    MessageCapture log;
    m.fs.setTarrowindFirmware(nullptr);
    m.fs.setTarrowindFirmware(m.sim.client.get());
    ASSERT_TRUE(waitUntil([&] { return m.fs.status() == RemoteFileSystem::Mounted; }));
    EXPECT_TRUE(log.containsText("Mount finished")) << "Mounted before the new mount had finished";
    spinFor(100);
    EXPECT_EQ(statusesOf(status),
              (std::vector<RemoteFileSystem::Status>{RemoteFileSystem::Unmounted, RemoteFileSystem::BusyMounting,
                                                     RemoteFileSystem::Mounted}));
    EXPECT_EQ(indexed.count(), 0);
    EXPECT_TRUE(m.fs.sessions().isEmpty());
    ASSERT_TRUE(m.scan());
    EXPECT_EQ(m.fs.sessionList().size(), 2u);

    // A download that has ended in the worker (its pages cached by the one before) delivers
    // neither records nor its end once the client is replaced.
    const auto session = m.fs.sessionList().front();
    {
        QSignalSpy finished(&m.fs, &RemoteFileSystem::sessionDownloadFinished);
        m.fs.downloadSession(session.get());
        ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }, 30000));
        ASSERT_TRUE(finished.at(0).at(0).toBool());
    }
    m.fs.downloadSession(session.get());
    ASSERT_TRUE(drainThread(m.fs));
    QSignalSpy sectors(&m.fs, &RemoteFileSystem::sessionSectorDownloaded);
    QSignalSpy finished(&m.fs, &RemoteFileSystem::sessionDownloadFinished);
    status.clear();
    m.fs.setTarrowindFirmware(nullptr);
    m.fs.setTarrowindFirmware(m.sim.client.get());
    ASSERT_TRUE(waitUntil([&] { return m.fs.status() == RemoteFileSystem::Mounted; }));
    spinFor(100);
    EXPECT_EQ(sectors.count(), 0);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(statusesOf(status),
              (std::vector<RemoteFileSystem::Status>{RemoteFileSystem::Unmounted, RemoteFileSystem::BusyMounting,
                                                     RemoteFileSystem::Mounted}));
}

namespace {

// Ends the test program when the thread that made it is still blocked after the deadline: a
// thread stuck for good cannot report a failure itself.
class Watchdog
{
public:
    Watchdog(const char *what, int seconds = 60)
        : m_thread([this, what, seconds] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_done; })) {
                  std::fprintf(stderr, "%s: still blocked after %d s\n", what, seconds);
                  std::fflush(stderr);
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

uint64_t flashReads(SimLogger &sim)
{
    return sim.runner->requestCount(Network::C2S_FlashRead528) + sim.runner->requestCount(Network::C2S_FlashReadLz528) +
           sim.runner->requestCount(Network::C2S_FlashReadPage);
}

// A session object as a scan would publish it, made from the logger's own account.
RemoteFilesystemSessionPtr sessionFromTruth(const VirtualFlashService::SessionTruth &t)
{
    return std::make_shared<RemoteFilesystemSession>(t.index, t.startSector, t.endSector, t.fileType,
                                                     uint64_t(t.records.size()) * 528, t.name);
}

QByteArray truthOf(SimLogger &sim, const RemoteFilesystemSessionPtr &s)
{
    return concat(sim.truth().session(s->sessionIndex())->expectedDownload());
}

}  // namespace

TEST(RemoteFileSystemTest, DownloadQueuedBehindASlowScanNeverHangsTheTeardown)
{
    // 0: the client is cleared, 1: the filesystem object is destroyed.
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way);
        SimLogger sim(scenario(4468, 2));
        ASSERT_TRUE(sim.waitReady());
        QObject owner;
        auto fs = std::make_unique<RemoteFileSystem>(&owner);
        fs->setTarrowindFirmware(sim.client.get());
        ASSERT_TRUE(waitUntil([&] { return fs->status() == RemoteFileSystem::Mounted; }));
        const auto session = sessionFromTruth(*sim.truth().closedSessions().front());
        slowReplies(sim, 300);
        const uint64_t before = flashReads(sim);
        fs->beginScanningSessions();
        ASSERT_TRUE(waitUntil([&] { return flashReads(sim) > before; }));
        // The download waits in the worker's queue behind the scan, which is now in a read.
        fs->downloadSession(session.get());
        {
            Watchdog watchdog(way == 0 ? "clearing the client" : "destroying the filesystem");
            if (way == 0)
                fs->setTarrowindFirmware(nullptr);
            else
                fs.reset();
        }
        if (fs) {
            EXPECT_EQ(fs->status(), RemoteFileSystem::Unmounted);
            // Nothing of the retired worker moves the filesystem afterwards.
            QSignalSpy status(fs.get(), &RemoteFileSystem::statusChanged);
            spinFor(300);
            EXPECT_EQ(status.count(), 0);
        }
    }
}

TEST(RemoteFileSystemTest, CancelAndBeginInOneTurnYieldsExactlyTheSecondSession)
{
    Mounted m(scenario(4468, 3));
    ASSERT_TRUE(m.mount());
    ASSERT_TRUE(m.scan());
    const auto sessions = m.fs.sessionList();
    ASSERT_EQ(sessions.size(), 3u);
    const auto a = sessions[0], b = sessions[1], c = sessions[2];
    SessionDownloader dl;
    dl.setRemoteFileSystem(&m.fs);
    QSignalSpy finished(&dl, &SessionDownloader::sessionDownloadFinished);
    auto expectOnly = [&](const RemoteFilesystemSessionPtr &s) {
        ASSERT_TRUE(waitUntil([&] { return finished.count() >= 1; }, 30000));
        waitUntil([] { return false; }, 200);
        ASSERT_EQ(finished.count(), 1);
        EXPECT_TRUE(finished.at(0).at(0).toBool()) << finished.at(0).at(1).toString().toStdString();
        EXPECT_EQ(dl.pulseLog()->rawData(), truthOf(m.sim, s));
        EXPECT_EQ(m.fs.sessionDownloading(), s->sessionIndex());
        EXPECT_EQ(m.fs.status(), RemoteFileSystem::Mounted);
        EXPECT_FALSE(dl.downloading());
        finished.clear();
    };

    // The first download has already ended in the worker, its records and success still on their
    // way, when the screen cancels it and begins another.
    dl.beginDownload(a.get());
    expectOnly(a);
    dl.beginDownload(a.get());  // served from the cache, without the client
    ASSERT_TRUE(drainThread(m.fs));
    dl.cancelDownload();
    dl.beginDownload(b.get());
    EXPECT_TRUE(dl.downloading());
    expectOnly(b);

    // A download still reading the logger, replaced without a cancel.
    slowReplies(m.sim, 40);
    QSignalSpy sectors(&m.fs, &RemoteFileSystem::sessionSectorDownloaded);
    dl.beginDownload(c.get());
    ASSERT_TRUE(waitUntil([&] { return sectors.count() >= 2; }, 20000));
    dl.beginDownload(a.get());
    expectOnly(a);

    // And with a cancel, while the replaced one is still reading.
    slowReplies(m.sim, 0);
    m.fs.setTarrowindFirmware(nullptr);  // a fresh cache
    m.fs.setTarrowindFirmware(m.sim.client.get());
    ASSERT_TRUE(waitUntil([&] { return m.fs.status() == RemoteFileSystem::Mounted; }));
    slowReplies(m.sim, 40);
    sectors.clear();
    dl.beginDownload(c.get());
    ASSERT_TRUE(waitUntil([&] { return sectors.count() >= 2; }, 20000));
    QSignalSpy downloading(&dl, &SessionDownloader::downloadingChanged);
    dl.cancelDownload();
    dl.beginDownload(b.get());
    expectOnly(b);
    // Bindings saw the cancelled download end, the next one begin, and that one end.
    ASSERT_EQ(downloading.count(), 3);
    EXPECT_FALSE(downloading.at(0).at(0).toBool());
    EXPECT_TRUE(downloading.at(1).at(0).toBool());
    EXPECT_FALSE(downloading.at(2).at(0).toBool());
}

TEST(RemoteFileSystemTest, CancelFromEachBusyStateLeavesTheNextOperationIntact)
{
    Mounted m(scenario(4468, 2));
    ASSERT_TRUE(m.mount());
    ASSERT_TRUE(m.scan());
    const auto target = m.fs.sessionList().front();
    const auto other = m.fs.sessionList().back();
    const QByteArray expected = truthOf(m.sim, target);
    SessionDownloader dl;
    dl.setRemoteFileSystem(&m.fs);

    // Each status the filesystem takes after the cancel, with the records delivered so far.
    std::vector<std::pair<RemoteFileSystem::Status, int>> seen;
    int records = 0;
    QObject::connect(&m.fs, &RemoteFileSystem::sessionSectorDownloaded, &dl, [&](QByteArray) { ++records; });
    QObject::connect(&m.fs, &RemoteFileSystem::statusChanged, &dl,
                     [&](RemoteFileSystem::Status s) { seen.emplace_back(s, records); });
    QSignalSpy finished(&dl, &SessionDownloader::sessionDownloadFinished);
    auto remount = [&] {
        slowReplies(m.sim, 0);
        m.fs.setTarrowindFirmware(nullptr);
        m.fs.setTarrowindFirmware(m.sim.client.get());
        return waitUntil([&] { return m.fs.status() == RemoteFileSystem::Mounted; });
    };
    const int wanted = int(expected.size() / 520);

    for (auto busy :
         {RemoteFileSystem::BusyScanning, RemoteFileSystem::BusyScanningMeta, RemoteFileSystem::BusyDownloading}) {
        SCOPED_TRACE(busy);
        ASSERT_TRUE(remount());  // nothing cached: every step reads the logger
        slowReplies(m.sim, 300);
        const uint64_t before = flashReads(m.sim);
        if (busy == RemoteFileSystem::BusyDownloading)
            dl.beginDownload(other.get());
        else
            m.fs.beginScanningSessions();
        ASSERT_TRUE(waitUntil([&] { return m.fs.status() == busy && flashReads(m.sim) > before; }, 20000));
        slowReplies(m.sim, 0);
        seen.clear();
        records = 0;
        finished.clear();
        m.fs.cancelOperation();
        dl.beginDownload(target.get());
        ASSERT_TRUE(waitUntil([&] { return finished.count() >= 1; }, 30000));
        waitUntil([] { return false; }, 200);
        ASSERT_EQ(finished.count(), 1);
        EXPECT_TRUE(finished.at(0).at(0).toBool());
        EXPECT_EQ(dl.pulseLog()->rawData(), expected);
        const std::vector<std::pair<RemoteFileSystem::Status, int>> want{{RemoteFileSystem::Mounted, 0},
                                                                         {RemoteFileSystem::BusyDownloading, 0},
                                                                         {RemoteFileSystem::Mounted, wanted}};
        EXPECT_EQ(seen, want);
    }

    // Mounting: the cancel unmounts; the state that still arrives mounts the filesystem.
    m.fs.setTarrowindFirmware(nullptr);
    seen.clear();
    records = 0;
    m.fs.setTarrowindFirmware(m.sim.client.get());
    m.fs.cancelOperation();
    ASSERT_TRUE(waitUntil([&] { return m.fs.status() == RemoteFileSystem::Mounted; }));
    const std::vector<std::pair<RemoteFileSystem::Status, int>> mounting{
        {RemoteFileSystem::BusyMounting, 0}, {RemoteFileSystem::Unmounted, 0}, {RemoteFileSystem::Mounted, 0}};
    EXPECT_EQ(seen, mounting);
    finished.clear();
    dl.beginDownload(target.get());
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }, 30000));
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    EXPECT_EQ(dl.pulseLog()->rawData(), expected);
}

TEST(RemoteFileSystemTest, StateRequestThatIsNeverAnsweredEndsTheMount)
{
    SimLogger sim(scenario(4468, 1));
    ASSERT_TRUE(sim.waitReady());
    LineFaultConfig deaf;
    deaf.dropProbability = 1.0;
    sim.runner->setFaults(deaf);
    QObject owner;
    RemoteFileSystem fs(&owner);
    MessageCapture log;
    fs.setTarrowindFirmware(sim.client.get());
    EXPECT_EQ(fs.status(), RemoteFileSystem::BusyMounting);
    ASSERT_TRUE(waitUntil([&] { return fs.status() != RemoteFileSystem::BusyMounting; }, 30000));
    EXPECT_EQ(fs.status(), RemoteFileSystem::Errored);
    EXPECT_TRUE(log.containsText("Hardware or communication error.")) << log.messages().join('\n').toStdString();
}
