#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class LibraryStore;

// Adds raw log files to a library: reading, hashing and analysis run in parallel on a thread
// pool while the calling thread, which owns the store, writes one transaction per file as the
// results come in. At most a few files per thread are in memory at once, whatever the count.
//
// A file whose content the library already holds at the current analysis version is hashed
// but not analysed again; it only gains its path. When content is seen at a new path, the
// content's recorded paths that no longer exist are dropped: a moved file keeps its row.
class LibraryAdder
{
public:
    // Repaired: known content whose stored bytes were damaged, replaced by the file's.
    enum class Outcome { Added, Reanalysed, Present, Repaired, Refused, Failed };
    struct Item {
        QString path;
        Outcome outcome = Outcome::Failed;
        QString sha256;
        QString reason;  // why a file was refused or failed
    };
    struct Options {
        int threads = 0;  // 0: one per core
        bool reanalyse = false;
    };

    // The files named, and the ".rlog" files under the folders named (recursively), as absolute
    // paths; names that are neither go to `missing`.
    static QStringList expand(const QStringList &paths, QStringList *missing);

    // `onItem` is called in the calling thread once per file, in completion order. False only
    // when the library itself could not be read (nothing was added then).
    static bool add(LibraryStore &store, const QStringList &files, const Options &options,
                    const std::function<void(const Item &)> &onItem, QString *error);

    // Largest file taken; a raw log of a full flash is far smaller.
    static constexpr qint64 kMaxFileSize = qint64(512) << 20;
};
