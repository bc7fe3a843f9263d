#include "DeviceCommands.h"

#include "ArchiveCommands.h"
#include "common/SafeFileName.h"
#include "library/LibraryAdder.h"
#include "library/LibraryStore.h"
#include "LibraryCommands.h"
#include "LoggerConnection.h"
#include "network/TarrowindFirmware.h"
#include "remotefs/RemoteFileSystem.h"
#include "remotefs/SavedSessionRegistry.h"
#include "workflows/SessionSaver.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>

namespace {

void progress(const QString &line)
{
    fprintf(stderr, "%s", line.toLocal8Bit().constData());
    fflush(stderr);
}

// A logger reached as the user interface reaches it, with its filesystem mounted and
// scanned. The filesystem goes first; the link tears down the rest in order.
struct Connection {
    LoggerConnection link;
    std::unique_ptr<RemoteFileSystem> fs;
    bool locked = false;

    TarrowindFirmware &firmware() const { return *link.firmware(); }

    ~Connection()
    {
        fs.reset();
        if (locked && link.isReady()) {
            TarrowindFirmware &firmware = this->firmware();
            // Give the logger back its normal behaviour: unlocked, samples on.
            firmware.sendWriteTemporary16(Network::TemporaryName16::FlashLogging_RemoteLock, 0);
            firmware.sendWriteTemporary16(Network::TemporaryName16::RawXyzOutput_Enable, 1);
            Cli::waitFor([&firmware] { return firmware.queueLength() == 0; }, 2000);
        }
    }

    bool open(const LoggerConnection::Options &o, QString *error)
    {
        if (!link.open(o, error))
            return false;
        TarrowindFirmware &firmware = this->firmware();
        // As the filesystem screen does: keep the logger from writing, and the line quiet.
        firmware.sendWriteTemporary16(Network::TemporaryName16::FlashLogging_RemoteLock, 1);
        firmware.sendWriteTemporary16(Network::TemporaryName16::RawXyzOutput_Enable, 0);
        locked = true;

        fs = std::make_unique<RemoteFileSystem>();
        fs->setTarrowindFirmware(&firmware);
        const bool settled =
            Cli::waitFor([this] { return fs->status() != RemoteFileSystem::BusyMounting; }, o.timeoutMs);
        if (!settled || fs->status() != RemoteFileSystem::Mounted) {
            *error =
                settled
                    ? QStringLiteral("the logger's filesystem could not be mounted")
                    : QStringLiteral("the logger did not report its filesystem within %1 s").arg(o.timeoutMs / 1000.0);
            return false;
        }
        bool finished = false;
        bool success = false;
        QObject::connect(fs.get(), &RemoteFileSystem::sessionIndexingFinished, &firmware, [&](bool ok) {
            finished = true;
            success = ok;
        });
        fs->beginScanningSessions();
        Cli::waitFor([&] { return finished || !fs->remoteKestrelcove(); });
        QObject::disconnect(fs.get(), &RemoteFileSystem::sessionIndexingFinished, &firmware, nullptr);
        if (!success) {
            *error = QStringLiteral("the session scan failed (hardware or connection error)");
            return false;
        }
        return true;
    }
};

// The name the filesystem screen gives a session's file.
QString sessionFileName(const QString &deviceName, const RemoteFilesystemSession &s)
{
    return SafeFileName::sessionFileName(deviceName, s.sessionIndex(), s.filename(), s.filetype());
}

QString isoTime(const QDateTime &t)
{
    return t.isNull() ? QString() : t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate);
}

int runSessions(const QCommandLineParser &args)
{
    LoggerConnection::Options o;
    QString error;
    const bool json = args.isSet(QStringLiteral("json"));
    if (!LoggerConnection::readOptions(args, &o, &error))
        return Cli::fail(error);
    if (!args.positionalArguments().isEmpty())
        return Cli::fail(QStringLiteral("unexpected argument '%1'").arg(args.positionalArguments().first()));
    Connection c;
    if (!c.open(o, &error))
        return Cli::fail(error);
    const auto sessions = c.fs->sessionList();
    const QString deviceName = c.firmware().deviceName();
    if (json) {
        QJsonArray list;
        for (const auto &s : sessions) {
            QJsonObject item;
            item[QStringLiteral("index")] = double(s->sessionIndex());
            item[QStringLiteral("name")] = s->filename();
            item[QStringLiteral("fileType")] = double(s->filetype());
            item[QStringLiteral("size")] = double(s->filesize());
            item[QStringLiteral("startAddress")] = double(s->startAddress());
            item[QStringLiteral("endAddress")] = double(s->endAddress());
            item[QStringLiteral("start")] = isoTime(s->startTime());
            item[QStringLiteral("end")] = isoTime(s->endTime());
            item[QStringLiteral("dates")] = s->dateString();
            item[QStringLiteral("fileName")] = sessionFileName(deviceName, *s);
            list.append(item);
        }
        QJsonObject root;
        root[QStringLiteral("sessions")] = list;
        Cli::printJson(root);
        return 0;
    }
    QString text = QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                       .arg(QStringLiteral("index"), 6)
                       .arg(QStringLiteral("type"), 4)
                       .arg(QStringLiteral("size"), 10)
                       .arg(QStringLiteral("start"), -25)
                       .arg(QStringLiteral("end"), -25)
                       .arg(QStringLiteral("name"));
    for (const auto &s : sessions) {
        text += QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                    .arg(s->sessionIndex(), 6)
                    .arg(s->filetype(), 4)
                    .arg(qulonglong(s->filesize()), 10)
                    .arg(s->startTime().isNull() ? QStringLiteral("unknown") : isoTime(s->startTime()), -25)
                    .arg(s->endTime().isNull() ? QStringLiteral("unknown") : isoTime(s->endTime()), -25)
                    .arg(s->filename());
    }
    if (sessions.empty())
        text += QStringLiteral("(no closed sessions)\n");
    Cli::print(text);
    return 0;
}

void addToLibrary(const QCommandLineParser &args, LibraryStore &library, const QString &file)
{
    QString error;
    QStringList saved;
    library.setMarkForArchive(!ArchiveCli::address(args).isEmpty());
    const bool ok = LibraryAdder::add(
        library, {QFileInfo(file).absoluteFilePath()}, {},
        [&saved](const LibraryAdder::Item &item) {
            if (item.outcome == LibraryAdder::Outcome::Refused || item.outcome == LibraryAdder::Outcome::Failed)
                progress(QStringLiteral("warning: %1 not added to the library: %2\n").arg(item.path, item.reason));
            else
                saved << item.sha256;
        },
        &error);
    if (!ok)
        progress(QStringLiteral("warning: not added to the library: %1\n").arg(error));
    ArchiveCli::send(args, library, saved, [](const QString &line) { progress(QStringLiteral("warning: ") + line); });
}

// Starts the saver and follows it until it is done: each session's progress on the terminal,
// its file or its failure. True when every session was saved.
bool printSaving(SessionSaver &saver, bool quiet, const std::function<void()> &start)
{
    Cli::Progress shown(quiet);
    quint32 index = 0;
    QElapsedTimer clock;
    qint64 lastReport = -1000;
    auto report = [&](bool final) {
        const double seconds = std::max(0.001, clock.elapsed() / 1000.0);
        const uint64_t bytes = uint64_t(saver.records()) * SessionSaver::kRecordLogBytes;
        const QString text = QStringLiteral("session %1: %2 records, %3 bytes, %4 kB/s")
                                 .arg(index)
                                 .arg(saver.records())
                                 .arg(qulonglong(bytes))
                                 .arg(bytes / 1024.0 / seconds, 0, 'f', 1);
        if (final)
            shown.end(text);
        else
            shown.update(text);
    };
    QObject::connect(&saver, &SessionSaver::sessionStarted, [&](quint32 started) {
        index = started;
        clock.start();
        lastReport = -1000;
    });
    QObject::connect(&saver, &SessionSaver::progressChanged, [&] {
        if (saver.records() > 0 && clock.elapsed() - lastReport >= 250) {
            lastReport = clock.elapsed();
            report(false);
        }
    });
    int failures = 0;
    QObject::connect(&saver, &SessionSaver::sessionSaved, [&](quint32, const QString &path) {
        report(true);
        shown.line(QStringLiteral("saved %1").arg(path));
    });
    QObject::connect(&saver, &SessionSaver::sessionFailed, [&](quint32 failed, const QString &why) {
        if (saver.records() > 0)
            report(true);
        Cli::fail(QStringLiteral("session %1: %2").arg(failed).arg(why));
        ++failures;
    });
    start();
    Cli::waitFor([&] { return !saver.saving(); });
    return failures == 0;
}

int runDownload(const QCommandLineParser &args)
{
    LoggerConnection::Options o;
    QString error;
    const bool all = args.isSet(QStringLiteral("all"));
    const bool one = args.isSet(QStringLiteral("session"));
    const bool fresh = args.isSet(QStringLiteral("new"));
    const bool toFolder = all || fresh;
    const QString sessionText = args.value(QStringLiteral("session"));
    const QString output = args.value(QStringLiteral("output"));
    if (!LoggerConnection::readOptions(args, &o, &error))
        return Cli::fail(error);
    if (!args.positionalArguments().isEmpty())
        return Cli::fail(QStringLiteral("unexpected argument '%1'").arg(args.positionalArguments().first()));
    if (int(all) + int(one) + int(fresh) != 1)
        return Cli::fail(QStringLiteral("download needs exactly one of --session N, --all or --new"));
    if (output.isEmpty())
        return Cli::fail(toFolder ? QStringLiteral("download --%1 needs -o DIR").arg(QLatin1String(all ? "all" : "new"))
                                  : QStringLiteral("download needs -o FILE.rlog"));
    bool ok = false;
    const uint32_t wanted = one ? sessionText.toUInt(&ok) : 0;
    if (one && !ok)
        return Cli::fail(QStringLiteral("--session needs a session index"));
    if (toFolder && !QDir().mkpath(output))
        return Cli::fail(QStringLiteral("cannot create the folder %1").arg(output));

    Connection c;
    if (!c.open(o, &error))
        return Cli::fail(error);
    // Every save is remembered, so that a later --new (here or in the program) skips it. A
    // damaged record is reported and counts as empty: at worst a session comes again. (Read
    // once the connection keeps the log's warnings off the terminal, so it is said once.)
    SavedSessionRegistry registry(SavedSessionRegistry::defaultFileName());
    if (!registry.lastError().isEmpty())
        progress(QStringLiteral("warning: %1\n").arg(registry.lastError()));
    QObject::connect(&registry, &SavedSessionRegistry::lastErrorChanged, [&registry] {
        if (!registry.lastError().isEmpty())
            progress(QStringLiteral("warning: %1\n").arg(registry.lastError()));
    });
    SessionSaver saver;
    saver.setRemoteFileSystem(c.fs.get());
    saver.setRegistry(&registry);
    const QString serial = saver.serialNumber();
    if (fresh && serial.trimmed().isEmpty())
        return Cli::fail(QStringLiteral("the logger reports no serial number, so --new cannot tell which of its "
                                        "sessions were saved"));
    // Every save goes to the library too; one that cannot be opened costs the library, not the download.
    LibraryStore library;
    if (library.open(LibraryCli::libraryFile(args), &error))
        saver.setLibrarySink([&](const QString &file) { addToLibrary(args, library, file); });
    else
        progress(QStringLiteral("warning: %1\n").arg(error));
    std::vector<RemoteFilesystemSessionPtr> chosen;
    if (fresh) {
        registry.scanned(serial, c.fs->sessionList());
        chosen = registry.newSessions(serial, c.fs->sessionList());
    } else {
        for (const auto &s : c.fs->sessionList()) {
            if (all || s->sessionIndex() == wanted)
                chosen.push_back(s);
        }
        // Oldest first, so the files appear in the order they were logged.
        std::reverse(chosen.begin(), chosen.end());
    }
    if (one && chosen.empty())
        return Cli::fail(QStringLiteral("the logger has no closed session %1").arg(wanted));
    if (chosen.empty()) {
        progress(fresh ? QStringLiteral("no new sessions: every closed session on the logger was saved before\n")
                       : QStringLiteral("the logger holds no closed sessions\n"));
        return 0;
    }

    saver.setFolder(output);
    const bool saved = printSaving(saver, args.isSet(QStringLiteral("quiet")), [&] {
        if (one)
            saver.saveAs(chosen.front(), output);
        else
            saver.saveSessions(chosen);
    });
    return saved ? 0 : 1;
}
}  // namespace

std::vector<CliCommand> deviceCommands()
{
    const QList<QCommandLineOption> connection = LoggerConnection::commandLineOptions();
    return {
        {QStringLiteral("sessions"), QStringLiteral("--port PORT sessions [--json] [--timeout S]"),
         QStringLiteral("list the closed logging sessions on the logger's flash"),
         connection + QList<QCommandLineOption>{Cli::jsonOption()}, runSessions},
        {QStringLiteral("download"),
         QStringLiteral("--port PORT download (--session N -o FILE.rlog | --all -o DIR | --new -o DIR) [--timeout S] "
                        "[--quiet] [--library FILE]"),
         QStringLiteral("download sessions from the logger into raw log files"),
         connection +
             QList<QCommandLineOption>{
                 Cli::option({QStringLiteral("session")}, QStringLiteral("N"),
                             QStringLiteral("the session of this index (as the sessions command lists)")),
                 Cli::flag({QStringLiteral("all")}, QStringLiteral("every closed session, oldest first")),
                 Cli::flag({QStringLiteral("new")},
                           QStringLiteral("every closed session not saved before (by this tool or the "
                                          "program), oldest first")),
                 Cli::option({QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("OUT"),
                             QStringLiteral("the file (--session) or folder (--all, --new) to write")),
                 Cli::quietOption(),
                 LibraryCli::libraryOption(),
                 ArchiveCli::addressOption(),
             },
         runDownload},
    };
}
