// SessionSaver against the in-process virtual logger: a batch lands byte for byte beside files
// it must not touch, recorded and handed to the library; a cancel mid-batch stops it; each kind
// of failure is told once and ends the batch or passes over only its own session.
#include "workflows/SessionSaver.h"
#include "common/SafeFileName.h"
#include "MessageCapture.h"
#include "remotefs/RemoteFileSystem.h"
#include "remotefs/SavedSessionRegistry.h"
#include "tests/remotefs/SimLogger.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace simtest;

namespace {

struct Rig {
    explicit Rig(int sessions)
        : sim([sessions] {
              VirtualLoggerConfig c;
              c.seed = 5;
              c.flash.closedSessions = sessions;
              c.flash.minSessionDays = c.flash.maxSessionDays = 0.3;
              return c;
          }()),
          registry(dir.filePath("saved-sessions.json"))
    {
        saver.setRegistry(&registry);
        saver.setFolder(dir.path());
        saver.setLibrarySink([this](const QString &path) { library << path; });
        QObject::connect(&saver, &SessionSaver::message, [this](int positivity, const QString &text) {
            messages << QString::number(positivity) + ' ' + text;
        });
    }
    bool mount()
    {
        if (!sim.waitReady())
            return false;
        fs.setTarrowindFirmware(sim.client.get());
        QSignalSpy scanned(&fs, &RemoteFileSystem::sessionIndexingFinished);
        if (!waitUntil([this] { return fs.status() == RemoteFileSystem::Mounted; }, 15000))
            return false;
        fs.beginScanningSessions();
        saver.setRemoteFileSystem(&fs);
        return waitUntil([&] { return scanned.count() == 1; }, 60000) && scanned.at(0).at(0).toBool();
    }
    // Oldest first, as "Download New" walks them.
    std::vector<RemoteFilesystemSessionPtr> oldestFirst() const
    {
        auto list = fs.sessionList();
        std::reverse(list.begin(), list.end());
        return list;
    }
    QString path(const RemoteFilesystemSessionPtr &s, const QString &copy = QString()) const
    {
        const QString name =
            SafeFileName::sessionFileName(sim.client->deviceName(), int(s->sessionIndex()), s->filename(), 1);
        return dir.filePath(copy.isEmpty() ? name : QFileInfo(name).completeBaseName() + copy + ".rlog");
    }
    bool finish()
    {
        return waitUntil([this] { return !saver.saving(); }, 120000);
    }

    MessageCapture log;
    QTemporaryDir dir;
    SimLogger sim;
    RemoteFileSystem fs;
    SavedSessionRegistry registry;
    SessionSaver saver;
    QStringList messages, library;
};

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

}  // namespace

TEST(SessionSaver, BatchSavesBesideTakenNamesRecordsAndAddsEach)
{
    Rig rig(3);
    ASSERT_TRUE(rig.mount());
    const auto sessions = rig.oldestFirst();
    ASSERT_EQ(sessions.size(), 3u);
    QFile taken(rig.path(sessions[0]));
    ASSERT_TRUE(taken.open(QIODevice::WriteOnly) && taken.write("keep") == 4);
    taken.close();
    QSignalSpy finished(&rig.saver, &SessionSaver::finished);
    ASSERT_TRUE(rig.saver.saveNew());
    EXPECT_TRUE(rig.saver.batchRunning());
    ASSERT_TRUE(rig.finish());
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(contents(rig.path(sessions[0])), QByteArray("keep"));
    const auto truth = rig.sim.truth();
    QStringList saved{rig.path(sessions[0], "(2)"), rig.path(sessions[1]), rig.path(sessions[2])};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(contents(saved[i]).startsWith(truth.session(sessions[i]->sessionIndex())->rawLog()));
        EXPECT_TRUE(rig.registry.isSaved(rig.saver.serialNumber(), *sessions[i]));
        EXPECT_EQ(rig.messages.value(i), "1 Log saved successfully. (" + QFileInfo(saved[i]).fileName() + ")");
    }
    EXPECT_EQ(rig.library, saved);
    // Nothing is new any more.
    EXPECT_FALSE(rig.saver.saveNew());
}

TEST(SessionSaver, CancelMidBatchStopsItAndLeavesNoPartialFile)
{
    Rig rig(3);
    ASSERT_TRUE(rig.mount());
    rig.sim.runner->withDevice([](VirtualLogger &d) { d.flashService().setTiming({5, 5, 5}); });
    QObject::connect(&rig.saver, &SessionSaver::sessionStarted, [&rig](quint32) {
        if (rig.saver.batchPosition() == 1)
            QObject::connect(
                &rig.fs, &RemoteFileSystem::sessionSectorDownloaded, &rig.saver, [&rig] { rig.saver.cancel(); },
                Qt::QueuedConnection);
    });
    QSignalSpy finished(&rig.saver, &SessionSaver::finished);
    ASSERT_TRUE(rig.saver.saveNew());
    ASSERT_TRUE(rig.finish());
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(QDir(rig.dir.path()).entryList({"*.rlog"}).size(), 1);
    EXPECT_EQ(rig.library.size(), 1);
    EXPECT_EQ(rig.saver.progress(), 0.0);
    EXPECT_EQ(rig.fs.status(), RemoteFileSystem::Mounted);
}

// Refused before anything starts: only pulse logs are saved, and only into a folder.
TEST(SessionSaver, RefusesOtherFileTypesAndAMissingFolderAtOnce)
{
    RemoteFileSystem fs;
    SessionSaver saver;
    saver.setRemoteFileSystem(&fs);
    QStringList messages;
    QObject::connect(&saver, &SessionSaver::message, [&](int, const QString &text) { messages << text; });
    RemoteFilesystemSession other(5, 0, 10, 2, 5280, "s"), pulses(6, 0, 10, 1, 5280, "s");
    saver.setFolder(QDir::tempPath());
    EXPECT_FALSE(saver.save(&other));
    saver.setFolder(QString());
    EXPECT_FALSE(saver.save(&pulses));
    EXPECT_FALSE(saver.saving());
    EXPECT_EQ(messages,
              QStringList({"0005_s.unknown is not a pulse log (file type 2): it cannot be saved as a pulse log.",
                           "No log folder is set: choose one in Software Settings to save logs."}));
}

// Each failure, its one text, and whether the batch goes on to the next session.
TEST(SessionSaver, FailuresAreToldOnceAndEndTheBatchOnlyWhenTheNextWouldFailToo)
{
    Rig rig(2);
    ASSERT_TRUE(rig.mount());
    const auto sessions = rig.oldestFirst();
    // Every free name of the first session taken: it is passed over, the second is saved.
    QFile(rig.path(sessions[0])).open(QIODevice::WriteOnly);
    for (int n = 2; n <= SafeFileName::kLastCopyNumber; ++n)
        QFile(rig.path(sessions[0], QStringLiteral("(%1)").arg(n))).open(QIODevice::WriteOnly);
    QSignalSpy failed(&rig.saver, &SessionSaver::sessionFailed);
    ASSERT_TRUE(rig.saver.saveSessions(sessions));
    ASSERT_TRUE(rig.finish());
    const QString name = QFileInfo(rig.path(sessions[0])).fileName();
    ASSERT_EQ(failed.count(), 1);
    EXPECT_EQ(failed.at(0).at(1).toString(), "Error writing log file to disk! (" + name +
                                                 "): no free file name is left in " +
                                                 QDir::toNativeSeparators(rig.dir.path()));
    EXPECT_EQ(rig.library, QStringList{rig.path(sessions[1])});

    // A file that cannot be written ends it; so does a logger that goes away.
    // (Its folder is a file.)
    ASSERT_TRUE(rig.saver.saveAs(sessions[1], rig.path(sessions[0]) + "/x.rlog"));
    ASSERT_TRUE(rig.finish());
    EXPECT_EQ(failed.last().at(1).toString(), "Error writing log file to disk! (x.rlog)");
    ASSERT_TRUE(rig.saver.saveAs(sessions[0], rig.dir.filePath("lost.rlog")));
    rig.sim.client->setIoDevice(nullptr);
    ASSERT_TRUE(rig.finish());
    EXPECT_EQ(failed.last().at(1).toString(), "Hardware/Connection error during session download");
    EXPECT_EQ(failed.count(), 3);
    EXPECT_EQ(rig.messages.filter(QRegularExpression("^-1 ")).size(), 3);
}
