#include "ArchiveCommands.h"

#include "CliSupport.h"
#include "diagnostics/StoredSettings.h"
#include "library/ArchiveAddress.h"
#include "library/LibraryArchive.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {
const char kAddressOption[] = "archive-address";

QString waitingLine(const LibraryArchive::Sent &s)
{
    return QStringLiteral("not added to the archive: %1 (%2): %3; kept for library sync\n")
        .arg(s.path.isEmpty() ? s.sha256 : s.path, s.sha256.left(12), s.reason);
}

QString repairedLine(const LibraryArchive::Sent &s)
{
    return QStringLiteral("the archive's copy of %1 did not match its id and is replaced\n").arg(s.sha256.left(12));
}

QJsonObject toJson(const LibraryArchive::Sent &s)
{
    return QJsonObject{
        {QStringLiteral("sha256"), s.sha256}, {QStringLiteral("path"), s.path}, {QStringLiteral("reason"), s.reason}};
}
}  // namespace

namespace ArchiveCli {
QCommandLineOption addressOption()
{
    return Cli::option({QLatin1String(kAddressOption)}, QStringLiteral("ADDRESS"),
                       QStringLiteral("the team archive, postgresql://[user@]host[:port]/database[?host=/socket/dir] "
                                      "(default: TW_ARCHIVE, the window's setting; passwords in ~/.pgpass)"));
}

QCommandLineOption useArchiveOption()
{
    return Cli::flag({QStringLiteral("archive")},
                     QStringLiteral("list, export, open or remove in the team archive instead of the local library"));
}

QString address(const QCommandLineParser &args)
{
    QString setting;
    QByteArray json;
    QString ignored;
    if (!args.isSet(QLatin1String(kAddressOption)) && qEnvironmentVariableIsEmpty("TW_ARCHIVE") &&
        StoredSettings::read(StoredSettings::defaultOfflineStoragePath(), &json, &ignored))
        setting = QJsonDocument::fromJson(json).object().value(QStringLiteral("archiveAddress")).toString();
    return ArchiveAddress::configured(args.value(QLatin1String(kAddressOption)), setting);
}

QJsonObject send(const QCommandLineParser &args, LibraryStore &local, const QStringList &ids,
                 const std::function<void(const QString &line)> &report)
{
    LibraryArchive archive(address(args));
    if (!archive.isConfigured() || ids.isEmpty())
        return archive.isConfigured()
                   ? QJsonObject{{QStringLiteral("sent"), QJsonArray()}, {QStringLiteral("waiting"), QJsonArray()}}
                   : QJsonObject();
    QJsonArray sent, waiting;
    QString error;
    const bool marked = archive.saveAndSend(
        local, ids,
        [&](const LibraryArchive::Sent &s) {
            if (s.reason.isEmpty()) {
                sent.append(s.sha256);
                if (s.repaired)
                    report(repairedLine(s));
            } else {
                waiting.append(toJson(s));
                report(waitingLine(s));
            }
        },
        &error);
    if (!marked)
        report(QStringLiteral("warning: nothing sent to the archive: %1\n").arg(error));
    return QJsonObject{{QStringLiteral("sent"), sent}, {QStringLiteral("waiting"), waiting}};
}

int runSync(const QCommandLineParser &args, LibraryStore &local)
{
    LibraryArchive archive(address(args));
    if (!archive.isConfigured())
        return Cli::fail(QStringLiteral("no team archive is configured (--archive-address, TW_ARCHIVE or the "
                                        "\"Shared archive address\" setting)"));
    QString error;
    if (!archive.connect(&error))
        return Cli::fail(error);
    QJsonArray sent, waiting;
    QString text;
    const bool json = args.isSet(QStringLiteral("json"));
    const bool ok = archive.sync(
        local,
        [&](const LibraryArchive::Sent &s) {
            if (s.reason.isEmpty()) {
                sent.append(s.sha256);
                text += QStringLiteral("sent %1 %2\n").arg(s.sha256.left(12), s.path);
                if (s.repaired)
                    text += repairedLine(s);
            } else {
                waiting.append(toJson(s));
                text += waitingLine(s);
            }
        },
        &error);
    if (!ok)
        return Cli::fail(error);
    if (json)
        Cli::printJson(QJsonObject{{QStringLiteral("sent"), sent}, {QStringLiteral("waiting"), waiting}});
    else
        Cli::print(text + QStringLiteral("%1 sent to the archive, %2 waiting\n").arg(sent.size()).arg(waiting.size()));
    return waiting.isEmpty() ? 0 : 1;
}
}  // namespace ArchiveCli
