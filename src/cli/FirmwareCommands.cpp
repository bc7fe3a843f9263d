#include "FirmwareCommands.h"

#include "bootloader/FirmwareArchive.h"
#include "bootloader/FirmwareMeta.h"
#include "bootloader/StmBootLoader.h"
#include "bootloader/TarrowindLogger.h"
#include "diagnostics/StoredSettings.h"
#include "LoggerConnection.h"
#include "pulselog/SafeFileWriter.h"
#include "serial/SerialComm.h"
#include "workflows/FirmwareFlasher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QUrl>

#include <cstdio>
#include <memory>

namespace {

constexpr int kConnectTimeoutMs = 30000;
constexpr int kOperationTimeoutMs = 600000;

QString loadStatusName(FirmwareMeta::LoadStatus status)
{
    return QString::fromLatin1(QMetaEnum::fromType<FirmwareMeta::LoadStatus>().valueToKey(int(status)));
}

// Loads a firmware file; the meta object keeps whatever status the file earned.
void loadFile(FirmwareMeta &meta, const QString &path)
{
    meta.load(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString());
}

int firmwareInfo(const QCommandLineParser &parsed)
{
    const bool json = parsed.isSet(QStringLiteral("json"));
    const QStringList args = parsed.positionalArguments();
    if (args.size() != 1)
        return Cli::fail(QStringLiteral("usage: firmware-info FILE.fw [--json]"));
    FirmwareMeta meta;
    loadFile(meta, args[0]);
    const FirmwareMeta::LoadStatus status = meta.loadStatus();
    if (status == FirmwareMeta::LoadStatus_IOError)
        return Cli::fail(QStringLiteral("cannot read %1").arg(args[0]));
    const bool valid = status == FirmwareMeta::LoadStatus_Success;
    if (json) {
        QJsonObject o;
        o[QStringLiteral("loadStatus")] = loadStatusName(status);
        o[QStringLiteral("major")] = int(meta.major());
        o[QStringLiteral("minor")] = int(meta.minor());
        o[QStringLiteral("patchLevel")] = int(meta.patchlevel());
        o[QStringLiteral("patchLevel32")] = double(meta.patchLevel32());
        o[QStringLiteral("flags")] = double(meta.flags());
        o[QStringLiteral("debug")] = (meta.flags() & FirmwareMeta::MetaFlag_Debug) != 0;
        o[QStringLiteral("strings")] = meta.strings();
        o[QStringLiteral("payloadSize")] = double(meta.payload().size());
        Cli::printJson(o);
    } else {
        QString text;
        text += QStringLiteral("load status: %1\n").arg(loadStatusName(status));
        if (valid) {
            text += QStringLiteral("version: %1.%2.%3\n").arg(meta.major()).arg(meta.minor()).arg(meta.patchlevel());
            text += QStringLiteral("major: %1\nminor: %2\n").arg(meta.major()).arg(meta.minor());
            text += QStringLiteral("patch level: %1 (stored %2)\n").arg(meta.patchlevel()).arg(meta.patchLevel32());
            text += QStringLiteral("flags: 0x%1%2\n")
                        .arg(meta.flags(), 8, 16, QLatin1Char('0'))
                        .arg((meta.flags() & FirmwareMeta::MetaFlag_Debug) ? " (debug)" : "");
            text += QStringLiteral("strings: %1\n").arg(meta.strings());
        }
        text += QStringLiteral("payload size: %1\n").arg(meta.payload().size());
        Cli::print(text);
    }
    if (!valid)
        return Cli::fail(QStringLiteral("%1 is not a valid firmware file (%2)").arg(args[0], loadStatusName(status)));
    return 0;
}

bool parseVersion(const QString &text, quint16 *major, quint16 *minor, quint32 *patch)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return false;
    bool ok1 = false, ok2 = false, ok3 = false;
    const uint a = parts[0].toUInt(&ok1);
    const uint b = parts[1].toUInt(&ok2);
    const qulonglong c = parts[2].toULongLong(&ok3);
    if (!ok1 || !ok2 || !ok3 || a > 0xFFFF || b > 0xFFFF || c > 0xFFFFFFFFull)
        return false;
    *major = quint16(a);
    *minor = quint16(b);
    *patch = quint32(c);
    return true;
}

int firmwareBuild(const QCommandLineParser &args)
{
    const bool debug = args.isSet(QStringLiteral("debug"));
    const bool hasPayload = args.isSet(QStringLiteral("payload"));
    const bool hasVersion = args.isSet(QStringLiteral("version"));
    const bool hasOutput = args.isSet(QStringLiteral("o"));
    const QString payloadPath = args.value(QStringLiteral("payload"));
    const QString version = args.value(QStringLiteral("version"));
    const QString strings = args.value(QStringLiteral("strings"));
    const QString output = args.value(QStringLiteral("o"));
    if (!hasPayload || !hasVersion || !hasOutput || !args.positionalArguments().isEmpty())
        return Cli::fail(QStringLiteral("usage: firmware-build --payload BIN --version MAJOR.MINOR.PATCH [--debug] "
                                        "[--strings TEXT] -o FILE.fw"));
    quint16 major = 0, minor = 0;
    quint32 patch = 0;
    if (!parseVersion(version, &major, &minor, &patch))
        return Cli::fail(QStringLiteral("bad version '%1' (want MAJOR.MINOR.PATCH)").arg(version));
    if (strings.toUtf8().size() > FirmwareMeta::kStringsSize)
        return Cli::fail(QStringLiteral("--strings is longer than %1 bytes").arg(FirmwareMeta::kStringsSize));
    QFile in(payloadPath);
    if (!in.open(QIODevice::ReadOnly))
        return Cli::fail(QStringLiteral("cannot read %1: %2").arg(payloadPath, in.errorString()));
    if (in.size() > StmBootLoader::kMaxImageSize)
        return Cli::fail(QStringLiteral("payload of %1 bytes does not fit the logger's flash "
                                        "(at most %2 bytes)")
                             .arg(in.size())
                             .arg(StmBootLoader::kMaxImageSize));
    const QByteArray payload = in.readAll();
    if (payload.size() != in.size())
        return Cli::fail(QStringLiteral("cannot read %1: %2").arg(payloadPath, in.errorString()));

    FirmwareMeta meta;
    meta.setMajor(major);
    meta.setMinor(minor);
    meta.setPatchLevel(patch);
    meta.setFlags(debug ? quint32(FirmwareMeta::MetaFlag_Debug) : 0u);
    meta.setStrings(strings);
    meta.setPayload(payload);
    meta.generateChecksum();
    if (!meta.save(QUrl::fromLocalFile(QFileInfo(output).absoluteFilePath()).toString()))
        return Cli::fail(QStringLiteral("cannot write %1").arg(output));
    return 0;
}

int flash(const QCommandLineParser &parsed)
{
    const QString port = parsed.value(QStringLiteral("port"));
    const bool verifyOnly = parsed.isSet(QStringLiteral("verify-only"));
    const QStringList args = parsed.positionalArguments();
    if (port.isEmpty())
        return Cli::fail(QStringLiteral("flash needs --port PORT"));
    if (args.size() != 1)
        return Cli::fail(QStringLiteral("usage: --port PORT flash FILE.fw [--verify-only]"));

    // Refuse a doubtful file before anything reaches the logger.
    FirmwareMeta meta;
    loadFile(meta, args[0]);
    if (meta.loadStatus() != FirmwareMeta::LoadStatus_Success)
        return Cli::fail(
            QStringLiteral("%1 is not a valid firmware file (%2)").arg(args[0], loadStatusName(meta.loadStatus())));
    const QByteArray image = meta.flashImage();
    if (!FirmwareFlasher::fits(image))
        return Cli::fail(QStringLiteral("the image of %1 bytes cannot be flashed (1 to %2 bytes)")
                             .arg(image.size())
                             .arg(StmBootLoader::kMaxImageSize));

    LoggerConnection connection;
    connection.attach(port);
    SerialComm &comm = *connection.comm();
    TarrowindLogger &logger = *connection.logger();
    FirmwareFlasher flasher;
    flasher.setLogger(&logger);

    // Whatever the logger runs now, the controller finds its bootloader.
    flasher.enterBootloader();
    StmBootLoader *loader = flasher.bootloader();
    if (!Cli::waitFor([&] { return loader->state() == StmBootLoader::State_Ready; }, kConnectTimeoutMs)) {
        const QString why = comm.lastError().isEmpty() ? QString() : QStringLiteral(" (%1)").arg(comm.lastError());
        return Cli::fail(QStringLiteral("the logger's bootloader did not answer on %1 within %2 s%3")
                             .arg(port)
                             .arg(kConnectTimeoutMs / 1000)
                             .arg(why));
    }

    Cli::Progress progress(parsed.isSet(QStringLiteral("quiet")));
    const QString what = verifyOnly ? QStringLiteral("verifying") : QStringLiteral("flashing");
    int lastPercent = -1;
    QObject::connect(loader, &StmBootLoader::operationProgressChanged, [&](float p) {
        const int percent = int(p * 100.0f);
        if (percent != lastPercent)
            progress.update(QStringLiteral("%1: %2%").arg(what).arg(percent, 3));
        lastPercent = percent;
    });
    const bool done =
        flasher.flash(image, verifyOnly ? StmBootLoader::VerifyOnly : StmBootLoader::EraseProgramVerify) &&
        Cli::waitFor([&] { return flasher.finished(); }, kOperationTimeoutMs);
    progress.end();

    // Back to the firmware in every case: the old or the new one starts.
    flasher.exitBootloader();
    const bool firmwareBack =
        Cli::waitFor([&] { return logger.firmware()->connectionState() == TarrowindFirmware::ConnectionState_Ready; },
                     kConnectTimeoutMs);

    if (!done)
        return Cli::fail(QStringLiteral("the operation did not finish within %1 s").arg(kOperationTimeoutMs / 1000));
    if (flasher.resultError() != StmBootLoader::Error_None)
        return Cli::fail(QStringLiteral("%1 failed: %2").arg(what, flasher.resultErrorText()));
    if (!firmwareBack)
        return Cli::fail(QStringLiteral("%1 succeeded, but the logger's firmware did not answer "
                                        "afterwards")
                             .arg(what));
    Cli::print(QStringLiteral("%1 %2 bytes: ok; firmware %3.%4.%5 running\n")
                   .arg(verifyOnly ? QStringLiteral("verified") : QStringLiteral("flashed"))
                   .arg(image.size())
                   .arg(logger.firmware()->majorVersion())
                   .arg(logger.firmware()->minorVersion())
                   .arg(logger.firmware()->patchLevelVersion()));
    return 0;
}

// The archive address the program would use: its stored setting, when there is one.
QString storedArchiveSetting()
{
    QByteArray json;
    QString ignored;
    if (!StoredSettings::read(StoredSettings::defaultOfflineStoragePath(), &json, &ignored))
        return QString();
    return QJsonDocument::fromJson(json).object().value(QStringLiteral("firmwareArchive")).toString();
}

int firmwareFetch(const QCommandLineParser &parsed)
{
    if (!parsed.positionalArguments().isEmpty())
        return Cli::fail(QStringLiteral("unexpected argument '%1'").arg(parsed.positionalArguments().first()));
    const QString folder = parsed.isSet(QStringLiteral("o")) ? parsed.value(QStringLiteral("o")) : QStringLiteral(".");
    if (!QFileInfo(folder).isDir())
        return Cli::fail(QStringLiteral("%1 is not a folder").arg(folder));
    FirmwareMeta meta;
    FirmwareArchive archive;
    archive.setFirmwareMeta(&meta);
    if (parsed.isSet(QStringLiteral("timeout"))) {
        bool ok = false;
        const double seconds = parsed.value(QStringLiteral("timeout")).toDouble(&ok);
        if (!ok || seconds <= 0 || seconds > 3600)
            return Cli::fail(QStringLiteral("--timeout needs seconds between 0 and 3600"));
        archive.setStallTimeoutMs(int(seconds * 1000));
    }
    // The archive's own log lines are for the program's log pane; here the progress says it.
    QLoggingCategory::setFilterRules(QStringLiteral("default.info=false"));
    archive.setBaseUrl(FirmwareArchive::effectiveBaseUrl(storedArchiveSetting()));
    Cli::Progress progress(parsed.isSet(QStringLiteral("quiet")));
    QObject::connect(&archive, &FirmwareArchive::progress, [&](qint64 received, qint64) {
        progress.update(QStringLiteral("downloading: %1 kB").arg(received / 1024));
    });
    bool finished = false;
    QObject::connect(&archive, &FirmwareArchive::finished, [&] { finished = true; });
    archive.fetchLatest();
    Cli::waitFor([&] { return finished; });
    progress.end();
    if (!archive.lastError().isEmpty())
        return Cli::fail(archive.lastError());

    // The server chose the name: a file already there is the user's and is never replaced.
    const QString path = QDir(folder).filePath(archive.fileName());
    const QByteArray data = archive.fileData();
    QString error;
    if (!SafeFileWriter::createOrMatch(path, data, &error))
        return Cli::fail(error);
    const QString version = QStringLiteral("%1.%2.%3").arg(meta.major()).arg(meta.minor()).arg(meta.patchlevel());
    if (parsed.isSet(QStringLiteral("json")))
        Cli::printJson(QJsonObject{{QStringLiteral("version"), version},
                                   {QStringLiteral("file"), path},
                                   {QStringLiteral("bytes"), data.size()}});
    else
        Cli::print(QStringLiteral("%1 %2\n").arg(version, path));
    return 0;
}

}  // namespace

std::vector<CliCommand> firmwareCommands()
{
    return {
        {QStringLiteral("firmware-info"),
         QStringLiteral("firmware-info FILE.fw [--json]"),
         QStringLiteral("check a firmware file and show its version, flags, text and payload size"),
         {Cli::jsonOption()},
         firmwareInfo},
        {QStringLiteral("firmware-build"),
         QStringLiteral("firmware-build --payload BIN --version MAJOR.MINOR.PATCH [--debug] "
                        "[--strings TEXT] -o FILE.fw"),
         QStringLiteral("wrap a raw flash image into a firmware file with trailer and digest"),
         {Cli::option({QStringLiteral("payload")}, QStringLiteral("BIN"), QStringLiteral("the raw flash image")),
          Cli::option({QStringLiteral("version")}, QStringLiteral("MAJOR.MINOR.PATCH"),
                      QStringLiteral("the firmware's version")),
          Cli::flag({QStringLiteral("debug")}, QStringLiteral("mark the firmware as a debug build")),
          Cli::option({QStringLiteral("strings")}, QStringLiteral("TEXT"), QStringLiteral("free text for the trailer")),
          Cli::option({QStringLiteral("o")}, QStringLiteral("FILE.fw"), QStringLiteral("the firmware file to write"))},
         firmwareBuild},
        {QStringLiteral("flash"),
         QStringLiteral("--port PORT flash FILE.fw [--verify-only] [--quiet]"),
         QStringLiteral("program (or only verify) the logger's firmware through its bootloader"),
         {Cli::portOption(),
          Cli::flag({QStringLiteral("verify-only")}, QStringLiteral("compare the logger's flash, change nothing")),
          Cli::quietOption()},
         flash},
        {QStringLiteral("firmware-fetch"),
         QStringLiteral("firmware-fetch [-o DIR] [--json] [--timeout S] [--quiet]"),
         QStringLiteral("download the newest firmware file of the maker's archive (TW_FIRMWARE_ARCHIVE overrides "
                        "the address)"),
         {Cli::option({QStringLiteral("o")}, QStringLiteral("DIR"),
                      QStringLiteral("the folder to write into (default: .)")),
          Cli::jsonOption(),
          Cli::option({QStringLiteral("timeout")}, QStringLiteral("S"),
                      QStringLiteral("give up when no data came for S seconds (default 30)")),
          Cli::quietOption()},
         firmwareFetch},
    };
}
