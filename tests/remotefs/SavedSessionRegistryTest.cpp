// The record of saved sessions: which sessions of a virtual logger count as new after saves, a
// wrap of its flash and a clear, and a record file that is damaged or cannot be written.
#include "remotefs/SavedSessionRegistry.h"
#include "MessageCapture.h"
#include "remotefs/RemoteFileSystem.h"
#include "SimLogger.h"

#include <gtest/gtest.h>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <sys/stat.h>

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
          QByteArray("{\"version\": 0, \"loggers\": []}"), QByteArray("\0\xff\xfe", 3)}) {
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
        read(file()).replace("\"sessions\":[", "\"sessions\":[{\"index\": 9, \"size\": -5}, {\"index\": \"x\"},");
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

// Another copy of the program (or the command-line tool): records sessions 0..N-1 of one logger.
TEST_F(SavedSessionRegistryTest, DISABLED_WriterProcess)
{
    const QString serial = qEnvironmentVariable("TW_REGISTRY_SERIAL");
    SavedSessionRegistry registry(qEnvironmentVariable("TW_REGISTRY_FILE"));
    for (uint32_t i = 0; i < 200; ++i) {
        RemoteFilesystemSession s(i, i * 10, i * 10 + 9, 1, 528, QStringLiteral("s"));
        ASSERT_TRUE(registry.recordSaved(serial, s, QStringLiteral("/logs/%1.rlog").arg(i)))
            << registry.lastError().toStdString();
    }
}

TEST_F(SavedSessionRegistryTest, TwoProgramsSavingAtOnceKeepEveryEntry)
{
    std::vector<std::unique_ptr<QProcess>> writers;
    for (const char *serial : {"TW3X-1", "TW3X-2"}) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TW_REGISTRY_FILE"), file());
        env.insert(QStringLiteral("TW_REGISTRY_SERIAL"), QLatin1String(serial));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::ForwardedChannels);
        p->start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--gtest_also_run_disabled_tests"),
                  QStringLiteral("--gtest_filter=SavedSessionRegistryTest.DISABLED_WriterProcess")});
        writers.push_back(std::move(p));
    }
    for (auto &p : writers) {
        ASSERT_TRUE(p->waitForFinished(180000));
        EXPECT_EQ(p->exitCode(), 0);
    }
    SavedSessionRegistry both(file());
    EXPECT_TRUE(both.lastError().isEmpty()) << both.lastError().toStdString();
    EXPECT_EQ(both.entries(QStringLiteral("TW3X-1")).size(), 200u);
    EXPECT_EQ(both.entries(QStringLiteral("TW3X-2")).size(), 200u);
    EXPECT_FALSE(QFile::exists(file() + ".damaged"));
}

TEST_F(SavedSessionRegistryTest, OnlyWhatIsStillDamagedAtTheWriteIsSetAsideAndOnlyDamageCounts)
{
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("data"))));
    auto write = [&](const QByteArray &bytes) {
        QFile f(file());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    };
    RemoteFilesystemSession a(4, 1000, 1400, 1, 401 * 528, QStringLiteral("a"));
    RemoteFilesystemSession b(5, 1400, 1900, 1, 501 * 528, QStringLiteral("b"));

    // Damaged when read, mended by the other program before our save: nothing is set aside.
    write("{\"version\": 1, \"log");
    SavedSessionRegistry late(file());
    EXPECT_TRUE(late.lastError().contains("damaged"));
    QFile::remove(file());
    ASSERT_TRUE(SavedSessionRegistry(file()).recordSaved(kSerial, b, QStringLiteral("/logs/b.rlog")));
    ASSERT_TRUE(late.recordSaved(kSerial, a, QStringLiteral("/logs/a.rlog")));
    EXPECT_TRUE(late.lastError().isEmpty()) << late.lastError().toStdString();
    EXPECT_FALSE(QFile::exists(file() + ".damaged"));
    SavedSessionRegistry reread(file());
    EXPECT_TRUE(reread.isSaved(kSerial, a) && reread.isSaved(kSerial, b));

    // A read that fails now and then is tried again, never taken for damage.
    int failures = 2;
    SavedSessionRegistry flaky(file(), SavedSessionRegistry::Blocking, nullptr,
                               [&](const QString &name, QByteArray *bytes, QString *error) {
                                   if (failures-- > 0) {
                                       *error = QStringLiteral("sharing violation");
                                       return false;
                                   }
                                   QFile f(name);
                                   *bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
                                   return true;
                               });
    EXPECT_TRUE(flaky.lastError().isEmpty()) << flaky.lastError().toStdString();
    EXPECT_TRUE(flaky.isSaved(kSerial, a));

    // A newer format is used as far as it is understood and never replaced.
    QFile current(file());
    ASSERT_TRUE(current.open(QIODevice::ReadOnly));
    const QByteArray newer = current.readAll().replace("\"version\":1", "\"version\":2");
    current.close();
    write(newer);
    SavedSessionRegistry future(file());
    EXPECT_TRUE(future.isSaved(kSerial, a));
    EXPECT_TRUE(future.lastError().contains("newer version")) << future.lastError().toStdString();
    RemoteFilesystemSession c(6, 1900, 2000, 1, 101 * 528, QStringLiteral("c"));
    EXPECT_FALSE(future.recordSaved(kSerial, c, QStringLiteral("/logs/c.rlog")));
    EXPECT_TRUE(future.isSaved(kSerial, c)) << "kept for this run";
    ASSERT_TRUE(current.open(QIODevice::ReadOnly));
    EXPECT_EQ(current.readAll(), newer);
    current.close();

    // Not a regular file: refused before reading, and left where it is.
    for (const bool fifo : {false, true}) {
        QFile::remove(file());
        ASSERT_TRUE(fifo ? ::mkfifo(file().toLocal8Bit().constData(), 0600) == 0 : QDir().mkpath(file()));
        SavedSessionRegistry odd(file());
        EXPECT_TRUE(odd.lastError().contains("not a regular file")) << odd.lastError().toStdString();
        EXPECT_FALSE(odd.recordSaved(kSerial, a, QStringLiteral("/logs/a.rlog")));
        EXPECT_FALSE(QFile::exists(file() + ".damaged"));
        EXPECT_TRUE(QFileInfo(file()).exists() && !QFileInfo(file()).isFile());
        QDir().rmdir(file());
    }
}

TEST_F(SavedSessionRegistryTest, OldEntriesAScanNoLongerMatchesAreForgottenAndTheWindowNeverWaits)
{
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-400);
    const auto entry = [&](int index, const QDateTime &savedAt) {
        return QStringLiteral("{\"index\":%1,\"startAddress\":%2,\"endAddress\":%3,\"size\":528,\"start\":null,"
                              "\"end\":null,\"path\":\"/logs/x\",\"savedAt\":\"%4\"}")
            .arg(index)
            .arg(index * 10)
            .arg(index * 10 + 9)
            .arg(savedAt.toString(Qt::ISODateWithMs));
    };
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("data"))));
    QFile f(file());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("{\"version\":1,\"loggers\":[{\"serial\":\"%1\",\"sessions\":[%2,%3,%4]}]}")
                .arg(kSerial, entry(1, old), entry(2, old), entry(3, QDateTime::currentDateTimeUtc()))
                .toUtf8());
    f.close();

    // The window: answers come from memory while the file is held by another program.
    QLockFile other(file() + ".lock");
    ASSERT_TRUE(other.lock());
    SavedSessionRegistry registry(file(), SavedSessionRegistry::Background);
    registry.waitForIdle();
    const auto session = [](uint32_t i) {
        return std::make_shared<RemoteFilesystemSession>(i, i * 10, i * 10 + 9, 1, 528, QStringLiteral("s"));
    };
    // Session 1 is still on the logger, 2 and 3 are gone; 3 was saved lately.
    registry.scanned(kSerial, {session(1), session(4)});
    ASSERT_TRUE(registry.recordSaved(kSerial, *session(4), QStringLiteral("/logs/4.rlog")));
    EXPECT_TRUE(registry.isSaved(kSerial, *session(4)));
    EXPECT_FALSE(registry.isSaved(kSerial, *session(2)));
    other.unlock();
    registry.waitForIdle();
    EXPECT_TRUE(registry.lastError().isEmpty()) << registry.lastError().toStdString();

    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray written = f.readAll();
    EXPECT_FALSE(written.contains('\n') || written.contains("\": ")) << "compact";
    std::vector<uint32_t> kept;
    for (const auto &e : SavedSessionRegistry(file()).entries(kSerial))
        kept.push_back(e.index);
    EXPECT_EQ(kept, (std::vector<uint32_t>{1, 3, 4}));
}
