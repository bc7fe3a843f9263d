// The record of saved sessions: which sessions of a virtual logger count as new after saves, a
// wrap of its flash and a clear, and a record file that is damaged or cannot be written.
#include "remotefs/SavedSessionRegistry.h"
#include "MessageCapture.h"
#include "remotefs/RemoteFileSystem.h"
#include "SimLogger.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace simtest;

namespace {

const QString kSerial = QStringLiteral("TW3X-424242");

VirtualLoggerConfig scenario(uint32_t seed, bool wrap)
{
    VirtualLoggerConfig c;
    c.seed = seed;
    c.serialNumber = kSerial;
    c.flash.seed = seed;
    c.flash.closedSessions = 3;
    c.flash.minSessionDays = 0.5;
    c.flash.maxSessionDays = 1.5;
    c.flash.openSessionHours = 2;
    c.flash.wrapAround = wrap;
    return c;
}

// Mounts and scans the logger as the filesystem screen does; the sessions, newest first.
std::vector<RemoteFilesystemSessionPtr> scan(SimLogger &sim)
{
    RemoteFileSystem fs;
    fs.setTarrowindFirmware(sim.client.get());
    if (!waitUntil([&] { return fs.status() == RemoteFileSystem::Mounted; }, 30000)) {
        ADD_FAILURE() << "not mounted";
        return {};
    }
    QSignalSpy done(&fs, &RemoteFileSystem::sessionIndexingFinished);
    fs.beginScanningSessions();
    if (!waitUntil([&] { return done.count() == 1; }, 60000) || !done.at(0).at(0).toBool())
        ADD_FAILURE() << "scan failed";
    return fs.sessionList();
}

std::vector<uint32_t> indices(const std::vector<RemoteFilesystemSessionPtr> &sessions)
{
    std::vector<uint32_t> out;
    for (const auto &s : sessions)
        out.push_back(s->sessionIndex());
    return out;
}

// The closed sessions as the logger knows them, oldest first.
std::vector<uint32_t> truthIndices(SimLogger &sim)
{
    const VirtualFlashService::GroundTruth truth = sim.truth();
    std::vector<uint32_t> out;
    for (const auto *s : truth.closedSessions())
        out.push_back(s->index);
    return out;
}

}  // namespace

class SavedSessionRegistryTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString file() const { return dir.filePath(QStringLiteral("data/saved-sessions.json")); }
    MessageCapture log;
    QTemporaryDir dir;
};

TEST_F(SavedSessionRegistryTest, SavedSessionsStaySavedUntilTheLoggerWrapsOrIsClearedAndRefilled)
{
    std::map<uint32_t, RemoteFilesystemSessionPtr> first;
    {
        SimLogger sim(scenario(31, false));
        ASSERT_TRUE(sim.waitReady());
        const auto sessions = scan(sim);
        ASSERT_EQ(sessions.size(), 3u);
        const auto oldestFirst = truthIndices(sim);
        SavedSessionRegistry registry(file());
        EXPECT_TRUE(registry.lastError().isEmpty());
        EXPECT_EQ(indices(registry.newSessions(kSerial, sessions)), oldestFirst) << "everything is new, oldest first";
        for (const auto &s : sessions)
            first[s->sessionIndex()] = s;
        // Two saved here; the other copy of the program (the tool) reads the file afresh.
        ASSERT_TRUE(registry.recordSaved(kSerial, *first[oldestFirst[0]], QStringLiteral("/logs/a.rlog")));
        ASSERT_TRUE(registry.recordSaved(kSerial, *first[oldestFirst[1]], QStringLiteral("/logs/b.rlog")));
        SavedSessionRegistry other(file());
        EXPECT_EQ(indices(other.newSessions(kSerial, sessions)), std::vector<uint32_t>{oldestFirst[2]});
        EXPECT_EQ(indices(other.newSessions(QStringLiteral("TW3X-000001"), sessions)).size(), 3u)
            << "another logger's sessions are its own";
        EXPECT_EQ(other.savedPath(kSerial, first[oldestFirst[1]].get()), QStringLiteral("/logs/b.rlog"));
        // The tool saved the third meanwhile: a save here keeps it.
        ASSERT_TRUE(other.recordSaved(kSerial, *first[oldestFirst[2]], QStringLiteral("/logs/c.rlog")));
        ASSERT_TRUE(registry.recordSaved(kSerial, *first[oldestFirst[0]], QStringLiteral("/logs/a(2).rlog")));
        EXPECT_TRUE(registry.newSessions(kSerial, sessions).empty());
        EXPECT_EQ(registry.entries(kSerial).size(), 3u);
    }

    // The same logging, but the stream ran past the end of the flash: the same indices, sizes and
    // times at other addresses. Those are other sessions as far as saving goes.
    SimLogger sim(scenario(31, true));
    ASSERT_TRUE(sim.waitReady());
    const auto wrapped = scan(sim);
    ASSERT_EQ(wrapped.size(), 3u);
    for (const auto &s : wrapped) {
        ASSERT_TRUE(first.count(s->sessionIndex()));
        ASSERT_NE(s->startAddress(), first[s->sessionIndex()]->startAddress()) << "the scenario moves every session";
    }
    SavedSessionRegistry registry(file());
    EXPECT_EQ(indices(registry.newSessions(kSerial, wrapped)), truthIndices(sim));
    for (const auto &s : wrapped)
        ASSERT_TRUE(registry.recordSaved(kSerial, *s, QStringLiteral("/logs/w%1.rlog").arg(s->sessionIndex())));
    EXPECT_TRUE(registry.newSessions(kSerial, wrapped).empty());

    // Cleared: nothing is listed, and nothing recorded is forgotten.
    QSignalSpy created(sim.client.get(), &TarrowindFirmware::recvFlashCreateResult);
    ASSERT_NE(sim.client->sendFlashCreate(), 0);
    ASSERT_TRUE(waitUntil([&] { return created.count() == 1; }, 30000));
    EXPECT_EQ(created.at(0).at(1).toUInt(), 0u);
    EXPECT_TRUE(scan(sim).empty());
    EXPECT_EQ(SavedSessionRegistry(file()).entries(kSerial).size(), 3u);

    // Refilled after the clear: the indices come round again, with other contents.
    SimLogger refilled(scenario(57, false));
    ASSERT_TRUE(refilled.waitReady());
    const auto fresh = scan(refilled);
    ASSERT_EQ(fresh.size(), 3u);
    EXPECT_EQ(indices(SavedSessionRegistry(file()).newSessions(kSerial, fresh)), truthIndices(refilled));
}

TEST_F(SavedSessionRegistryTest, DamagedOrUnwritableRecordIsReportedAndNeverSilentlyLost)
{
    RemoteFilesystemSession a(4, 1000, 1400, 1, 401 * 528, QStringLiteral("a"));
    RemoteFilesystemSession b(5, 1400, 1900, 1, 501 * 528, QStringLiteral("b"));
    const QDateTime t0 = QDateTime::fromMSecsSinceEpoch(1772323200000, Qt::UTC);
    a.setStartTime(t0);
    a.setEndTime(t0.addSecs(3600));
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("data"))));
    auto write = [&](const QByteArray &bytes) {
        QFile f(file());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    };
    auto read = [&](const QString &name) {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };

    // Not JSON at all, or JSON of another shape: reported, treated as empty, set aside on the
    // first save rather than overwritten.
    for (const QByteArray &garbage :
         {QByteArray("{\"version\": 1, \"loggers\": [{\"serial\": \"X\", \"sess"), QByteArray("[1, 2, 3]"),
          QByteArray("{\"version\": 99, \"loggers\": []}"), QByteArray("\0\xff\xfe", 3)}) {
        SCOPED_TRACE(garbage.toStdString());
        QFile::remove(file() + ".damaged");
        write(garbage);
        SavedSessionRegistry registry(file());
        EXPECT_TRUE(registry.lastError().contains("damaged")) << registry.lastError().toStdString();
        EXPECT_TRUE(registry.entries(kSerial).empty());
        EXPECT_FALSE(registry.isSaved(kSerial, a));
        ASSERT_TRUE(registry.recordSaved(kSerial, a, QStringLiteral("/logs/a.rlog")));
        EXPECT_EQ(read(file() + ".damaged"), garbage);
        EXPECT_TRUE(registry.lastError().endsWith("kept as " + file() + ".damaged"))
            << registry.lastError().toStdString();
        SavedSessionRegistry reread(file());
        EXPECT_TRUE(reread.lastError().isEmpty()) << reread.lastError().toStdString();
        EXPECT_TRUE(reread.isSaved(kSerial, a));
    }

    // Entries spoilt among good ones: the good ones still count, and the file is kept too.
    const QByteArray partly =
        read(file()).replace("\"sessions\": [", "\"sessions\": [{\"index\": 9, \"size\": -5}, {\"index\": \"x\"},");
    write(partly);
    SavedSessionRegistry registry(file());
    EXPECT_TRUE(registry.lastError().contains("2 unreadable")) << registry.lastError().toStdString();
    EXPECT_TRUE(registry.isSaved(kSerial, a));
    ASSERT_TRUE(registry.recordSaved(kSerial, b, QStringLiteral("/logs/b.rlog")));
    EXPECT_EQ(read(file() + ".damaged2"), partly);
    SavedSessionRegistry both(file());
    EXPECT_TRUE(both.isSaved(kSerial, a) && both.isSaved(kSerial, b));

    // The time span counts where both sides know it; a span that came later does not undo a save.
    RemoteFilesystemSession later(4, 1000, 1400, 1, 401 * 528, QStringLiteral("a"));
    later.setStartTime(t0.addDays(30));
    EXPECT_FALSE(both.isSaved(kSerial, later));
    RemoteFilesystemSession unknownSpan(4, 1000, 1400, 1, 401 * 528, QStringLiteral("a"));
    EXPECT_TRUE(both.isSaved(kSerial, unknownSpan));
    RemoteFilesystemSession grown(5, 1400, 1950, 1, 551 * 528, QStringLiteral("b"));
    EXPECT_FALSE(both.isSaved(kSerial, grown));

    // No serial number, or a folder that cannot exist: refused with a reason, nothing recorded.
    EXPECT_FALSE(both.recordSaved(QStringLiteral("  "), a, QStringLiteral("/logs/a.rlog")));
    EXPECT_TRUE(both.lastError().contains("serial number"));
    write("plain file");
    SavedSessionRegistry blocked(file() + QStringLiteral("/inside.json"));
    EXPECT_FALSE(blocked.recordSaved(kSerial, a, QStringLiteral("/logs/a.rlog")));
    EXPECT_FALSE(blocked.lastError().isEmpty());
    EXPECT_EQ(read(file()), QByteArray("plain file"));
}
