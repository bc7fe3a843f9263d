#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QJsonObject>
#include <QStringList>

#include <functional>

class LibraryStore;

// The team archive from the command line: where it is, sending saves to it, `library sync`.
namespace ArchiveCli {
// "--archive-address ADDRESS", accepted by every command that saves to the library.
QCommandLineOption addressOption();
// "--archive": list, export, open or remove in the archive instead of the local library.
QCommandLineOption useArchiveOption();
// The archive the command uses: the option, TW_ARCHIVE, the window's "Shared archive address"
// setting; empty for none.
QString address(const QCommandLineParser &args);

// Sends `ids`, just saved in `local`, to the configured archive (nothing when none is). Each
// log that could not be sent is reported through `report` with its reason and waits for
// `library sync`. Returns {"sent": [ids], "waiting": [{sha256, path, reason}]}, or an empty
// object without an archive.
QJsonObject send(const QCommandLineParser &args, LibraryStore &local, const QStringList &ids,
                 const std::function<void(const QString &line)> &report);

// library sync: sends every local log still waiting for the archive.
int runSync(const QCommandLineParser &args, LibraryStore &local);
}  // namespace ArchiveCli
