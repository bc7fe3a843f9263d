#include "LibraryCommands.h"

#include "ArchiveCommands.h"

#include "diagnostics/StoredSettings.h"
#include "library/LibraryAdder.h"
#include "library/LibraryAnalysis.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTextStream>

#include <cmath>
#include <cstdio>

namespace {
const int kMinimumIdLength = 8;

QString isoLocal(int64_t ms)
{
    // with the zone's offset, so the text names one instant (as log-info writes it)
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QJsonValue numberOrNull(double v)
{
    return std::isnan(v) ? QJsonValue() : QJsonValue(v);
}

QString numberText(double v, int decimals)
{
    return std::isnan(v) ? QString() : QString::number(v, 'f', decimals);
}

QJsonObject toJson(const LibraryRecord &r)
{
    return QJsonObject{
        {QStringLiteral("sha256"), r.sha256},
        {QStringLiteral("paths"), QJsonArray::fromStringList(r.paths)},
        {QStringLiteral("serial"), r.serial},
        {QStringLiteral("deviceName"), r.deviceName},
        {QStringLiteral("jobName"), r.jobName},
        {QStringLiteral("uniqueId"), r.uniqueId},
        {QStringLiteral("sessionIndex"), r.sessionIndex >= 0 ? QJsonValue(double(r.sessionIndex)) : QJsonValue()},
        {QStringLiteral("firstPulse"), r.hasPulses ? QJsonValue(isoLocal(r.firstPulseMs)) : QJsonValue()},
        {QStringLiteral("lastPulse"), r.hasPulses ? QJsonValue(isoLocal(r.lastPulseMs)) : QJsonValue()},
        {QStringLiteral("pulses"), double(r.pulses)},
        {QStringLiteral("unit"), r.unit},
        {QStringLiteral("volume"), numberOrNull(r.volume)},
        {QStringLiteral("nightMinimum"), numberOrNull(r.nightMinimum)},
        {QStringLiteral("nightFlowUnit"), r.nightFlowUnit},
        {QStringLiteral("longestFlowHours"), r.longestFlowHours},
        {QStringLiteral("leak"), r.leak},
    };
}

// The local library, or the team archive with --archive.
bool openStore(const QCommandLineParser &args, LibraryStore &store, QString *error)
{
    if (!args.isSet(QStringLiteral("archive")))
        return store.open(LibraryCli::libraryFile(args), error);
    const QString archive = ArchiveCli::address(args);
    if (archive.isEmpty()) {
        *error = QStringLiteral("--archive: no team archive is configured (--archive-address, TW_ARCHIVE or the "
                                "\"Shared archive address\" setting)");
        return false;
    }
    return store.open(archive, error);
}

bool parseTime(const QCommandLineParser &args, const QString &name, std::optional<int64_t> *ms, QString *error)
{
    if (!args.isSet(name))
        return true;
    const QDateTime t = QDateTime::fromString(args.value(name), Qt::ISODateWithMs);
    if (!t.isValid()) {
        *error = QStringLiteral("--%1: not an ISO 8601 date: %2").arg(name, args.value(name));
        return false;
    }
    *ms = t.toMSecsSinceEpoch();
    return true;
}

// A whole id or a unique prefix of at least 8 characters.
bool resolveId(LibraryStore &store, const QString &text, QString *id, QString *error)
{
    if (text.size() < kMinimumIdLength) {
        *error = QStringLiteral("%1: an id needs at least %2 characters").arg(text).arg(kMinimumIdLength);
        return false;
    }
    QStringList ids;
    if (!store.findByPrefix(text, &ids, error))
        return false;
    if (ids.isEmpty()) {
        *error = QStringLiteral("no log %1 in the library").arg(text);
        return false;
    }
    if (ids.size() > 1) {
        *error = QStringLiteral("%1 is ambiguous: %2 logs begin with it").arg(text).arg(ids.size());
        return false;
    }
    *id = ids.first();
    return true;
}

int runAdd(const QCommandLineParser &args, const QStringList &paths)
{
    if (paths.isEmpty())
        return Cli::fail(QStringLiteral("library add needs files or folders"));
    LibraryStore store;
    QString error;
    if (!openStore(args, store, &error))
        return Cli::fail(error);
    store.setMarkForArchive(!ArchiveCli::address(args).isEmpty());
    QStringList missing;
    const QStringList files = LibraryAdder::expand(paths, &missing);
    QJsonArray added, skipped, refused;
    QString text;
    for (const QString &m : missing) {
        refused.append(QJsonObject{{QStringLiteral("path"), m}, {QStringLiteral("reason"), "no such file or folder"}});
        text += QStringLiteral("refused %1: no such file or folder\n").arg(m);
    }
    LibraryAdder::Options options;
    options.reanalyse = args.isSet(QStringLiteral("reanalyse"));
    const bool json = args.isSet(QStringLiteral("json"));
    QStringList saved;
    const bool ok = LibraryAdder::add(
        store, files, options,
        [&](const LibraryAdder::Item &item) {
            using O = LibraryAdder::Outcome;
            const QJsonObject o{{QStringLiteral("path"), item.path}, {QStringLiteral("sha256"), item.sha256}};
            if (item.outcome != O::Refused && item.outcome != O::Failed)
                saved << item.sha256;
            QString line;
            switch (item.outcome) {
            case O::Added:
            case O::Reanalysed:
            case O::Repaired:
                added.append(o);
                line = QStringLiteral("added %1 %2%3")
                           .arg(item.sha256.left(12), item.path,
                                item.outcome == O::Reanalysed ? " (analysed again)"
                                : item.outcome == O::Repaired ? " (its stored copy was damaged and is replaced)"
                                                              : "");
                break;
            case O::Present:
                skipped.append(o);
                line = QStringLiteral("present %1 %2").arg(item.sha256.left(12), item.path);
                break;
            case O::Refused:
            case O::Failed:
                refused.append(
                    QJsonObject{{QStringLiteral("path"), item.path}, {QStringLiteral("reason"), item.reason}});
                line = QStringLiteral("refused %1: %2").arg(item.path, item.reason);
                break;
            }
            if (!json)
                Cli::print(line + QLatin1Char('\n'));
        },
        &error);
    if (!ok)
        return Cli::fail(error);
    const QJsonObject archive = ArchiveCli::send(args, store, saved, [&](const QString &line) {
        if (!json)
            Cli::print(line);
    });
    if (json) {
        QJsonObject result{{QStringLiteral("added"), added},
                           {QStringLiteral("skipped"), skipped},
                           {QStringLiteral("refused"), refused}};
        if (!archive.isEmpty())
            result.insert(QStringLiteral("archive"), archive);
        Cli::printJson(result);
    } else {
        Cli::print(text + QStringLiteral("%1 added, %2 already present, %3 refused\n")
                              .arg(added.size())
                              .arg(skipped.size())
                              .arg(refused.size()));
        if (!archive.isEmpty())
            Cli::print(QStringLiteral("%1 in the team archive, %2 waiting for library sync\n")
                           .arg(archive.value(QStringLiteral("sent")).toArray().size())
                           .arg(archive.value(QStringLiteral("waiting")).toArray().size()));
    }
    return refused.isEmpty() ? 0 : 1;
}

bool readFilter(const QCommandLineParser &args, LibraryFilter *f, QString *error)
{
    f->leaksOnly = args.isSet(QStringLiteral("leaks"));
    f->serial = args.value(QStringLiteral("serial"));
    return parseTime(args, QStringLiteral("from"), &f->fromMs, error) &&
           parseTime(args, QStringLiteral("to"), &f->toMs, error);
}

QString csvField(const QString &s)
{
    // Names come from loggers and colleagues: a spreadsheet must not take one for a formula.
    static const QString kFormulaStarts = QStringLiteral("=+-@\t\r");
    QString quoted = !s.isEmpty() && kFormulaStarts.contains(s.front()) ? QLatin1Char('\'') + s : s;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// One line per log, for the terminal and (quoted) for a spreadsheet.
QStringList tableRow(const LibraryRecord &r)
{
    return {r.sha256,
            r.serial,
            r.deviceName,
            r.jobName,
            r.hasPulses ? isoLocal(r.firstPulseMs) : QString(),
            r.hasPulses ? isoLocal(r.lastPulseMs) : QString(),
            QString::number(r.pulses),
            r.unit,
            numberText(r.volume, 3),
            numberText(r.nightMinimum, 4),
            r.nightFlowUnit,
            QString::number(r.longestFlowHours, 'f', 0),
            r.leak ? QStringLiteral("leak") : QString(),
            r.paths.join(QLatin1Char(';'))};
}

const QStringList kHeader = {"sha256",        "serial",           "deviceName", "jobName", "firstPulse",
                             "lastPulse",     "pulses",           "unit",       "volume",  "nightMinimum",
                             "nightFlowUnit", "longestFlowHours", "leak",       "paths"};

int runList(const QCommandLineParser &args, bool toCsv)
{
    LibraryFilter filter;
    QString error;
    if (!readFilter(args, &filter, &error))
        return Cli::fail(error);
    const QString output = args.value(QStringLiteral("o"));
    if (toCsv && output.isEmpty())
        return Cli::fail(QStringLiteral("library export needs -o FILE.csv"));
    LibraryStore store;
    std::vector<LibraryRecord> rows;
    if (!openStore(args, store, &error) || !store.list(filter, &rows, &error))
        return Cli::fail(error);
    if (store.damagedRows() > 0)
        fprintf(stderr, "tarrowind-cli: warning: %d damaged rows skipped (their id is not a SHA-256)\n",
                store.damagedRows());
    if (toCsv) {
        QByteArray csv = kHeader.join(QLatin1Char(',')).toUtf8() + "\r\n";
        for (const auto &r : rows) {
            QStringList fields;
            for (const QString &f : tableRow(r))
                fields << csvField(f);
            csv += fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
        }
        QSaveFile file(output);
        if (!file.open(QIODevice::WriteOnly) || file.write(csv) != csv.size() || !file.commit())
            return Cli::fail(QStringLiteral("could not write %1: %2").arg(output, file.errorString()));
        return 0;
    }
    if (args.isSet(QStringLiteral("json"))) {
        QJsonArray list;
        for (const auto &r : rows)
            list.append(toJson(r));
        Cli::printJson(QJsonDocument(list));
        return 0;
    }
    QString text = kHeader.mid(0, kHeader.size() - 1).join(QStringLiteral("  ")) + QLatin1Char('\n');
    for (const auto &r : rows) {
        QStringList fields = tableRow(r);
        fields[0] = fields[0].left(12);
        fields.removeLast();
        text += fields.join(QStringLiteral("  ")) + QLatin1Char('\n');
    }
    Cli::print(rows.empty() ? QStringLiteral("(no logs)\n") : text);
    return 0;
}

int runRemove(const QCommandLineParser &args, const QStringList &rest)
{
    if (rest.size() != 1)
        return Cli::fail(QStringLiteral("library remove needs one PATH or ID"));
    LibraryStore store;
    QString error, id;
    if (!openStore(args, store, &error))
        return Cli::fail(error);
    const QFileInfo file(rest.first());
    // a file that is gone is still named by its path
    const QString &text = rest.first();
    if (file.exists() || text.contains(QLatin1Char('/')) || text.endsWith(QLatin1String(".rlog"))) {
        if (!store.findByPath(file.absoluteFilePath(), &id, &error))
            return Cli::fail(error);
        if (id.isEmpty() && file.isFile()) {
            QFile in(file.absoluteFilePath());
            if (in.open(QIODevice::ReadOnly))
                id = LibraryAnalysis::sha256Hex(in.readAll());
        }
        if (id.isEmpty())
            return Cli::fail(QStringLiteral("%1 is not in the library").arg(rest.first()));
    } else if (!resolveId(store, rest.first(), &id, &error)) {
        return Cli::fail(error);
    }
    if (!store.remove(id, &error))
        return Cli::fail(error);
    Cli::print(QStringLiteral("removed %1\n").arg(id));
    return 0;
}

int runOpen(const QCommandLineParser &args, const QStringList &rest)
{
    const QString output = args.value(QStringLiteral("o"));
    if (rest.size() != 1 || output.isEmpty())
        return Cli::fail(QStringLiteral("library open needs an ID and -o FILE.rlog"));
    LibraryStore store;
    QString error, id;
    QByteArray bytes;
    if (!openStore(args, store, &error) || !resolveId(store, rest.first(), &id, &error) ||
        !store.rawLog(id, &bytes, &error))
        return Cli::fail(error);
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return Cli::fail(QStringLiteral("could not write %1: %2").arg(output, file.errorString()));
    return 0;
}

int runLibrary(const QCommandLineParser &args)
{
    QStringList rest = args.positionalArguments();
    const QString verb = rest.isEmpty() ? QString() : rest.takeFirst();
    if ((verb == QLatin1String("add") || verb == QLatin1String("sync")) && args.isSet(QStringLiteral("archive")))
        return Cli::fail(QStringLiteral("library %1 works from the local library to the archive; --archive is for "
                                        "list, export, open and remove")
                             .arg(verb));
    if (verb == QLatin1String("add"))
        return runAdd(args, rest);
    if (verb == QLatin1String("sync")) {
        LibraryStore store;
        QString error;
        if (!rest.isEmpty())
            return Cli::fail(QStringLiteral("unexpected argument '%1'").arg(rest.first()));
        if (!openStore(args, store, &error))
            return Cli::fail(error);
        return ArchiveCli::runSync(args, store);
    }
    if ((verb == QLatin1String("list") || verb == QLatin1String("export")) && !rest.isEmpty())
        return Cli::fail(QStringLiteral("unexpected argument '%1'").arg(rest.first()));
    if (verb == QLatin1String("list"))
        return runList(args, false);
    if (verb == QLatin1String("export"))
        return runList(args, true);
    if (verb == QLatin1String("remove"))
        return runRemove(args, rest);
    if (verb == QLatin1String("open"))
        return runOpen(args, rest);
    return Cli::fail(verb.isEmpty() ? QStringLiteral("library needs add, list, export, remove, open or sync")
                                    : QStringLiteral("unknown library command '%1'").arg(verb));
}
}  // namespace

namespace LibraryCli {
QCommandLineOption libraryOption()
{
    return Cli::option({QStringLiteral("library")}, QStringLiteral("FILE"),
                       QStringLiteral("the library file (default: TW_LIBRARY, the window's setting, the data folder)"));
}

QString libraryFile(const QCommandLineParser &args)
{
    QString setting;
    QByteArray json;
    QString ignored;
    if (!args.isSet(QStringLiteral("library")) && qEnvironmentVariableIsEmpty("TW_LIBRARY") &&
        StoredSettings::read(StoredSettings::defaultOfflineStoragePath(), &json, &ignored))
        setting = QJsonDocument::fromJson(json).object().value(QStringLiteral("libraryFile")).toString();
    return LibraryLocation::resolve(args.value(QStringLiteral("library")), setting);
}
}  // namespace LibraryCli

std::vector<CliCommand> libraryCommands()
{
    return {{QStringLiteral("library"),
             QStringLiteral("library add PATH... [--reanalyse] [--json] | list [--json] [--leaks] [--serial S] "
                            "[--from ISO8601] [--to ISO8601] | export -o FILE.csv [filters] | remove PATH|ID | "
                            "open ID -o FILE.rlog | sync   [--library FILE] [--archive-address ADDRESS] [--archive]"),
             QStringLiteral("the library of saved logs: add files and folders, list them with the leaks first, "
                            "export, remove, write one back out; send them to the team archive"),
             {LibraryCli::libraryOption(), ArchiveCli::addressOption(), ArchiveCli::useArchiveOption(),
              Cli::jsonOption(), Cli::flag({QStringLiteral("reanalyse")}, QStringLiteral("analyse known logs again")),
              Cli::flag({QStringLiteral("leaks")}, QStringLiteral("only logs with a leak")),
              Cli::option({QStringLiteral("serial")}, QStringLiteral("S"), QStringLiteral("only this logger's logs")),
              Cli::option({QStringLiteral("from")}, QStringLiteral("ISO8601"),
                          QStringLiteral("only logs reaching this time or later")),
              Cli::option({QStringLiteral("to")}, QStringLiteral("ISO8601"),
                          QStringLiteral("only logs starting this time or earlier")),
              Cli::option({QStringLiteral("o")}, QStringLiteral("FILE"), QStringLiteral("the file to write"))},
             runLibrary}};
}
