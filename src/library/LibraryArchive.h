#pragma once

#include "library/LibraryStore.h"

#include <QString>
#include <QStringList>

#include <functional>

// The team's shared archive (PostgreSQL) beside this machine's local library. Every save goes
// to the local library first; it is then marked as waiting for the archive and sent, and the
// mark is cleared once the archive has committed it. A save made while the archive cannot be
// reached (or whose connection is lost halfway) keeps its mark and goes with the next sync.
// Sending is idempotent on the content's SHA-256, so a log sent again after a crash between
// the archive's commit and the mark's removal still gives one row.
//
// Like a store, an archive belongs to the thread that opened it.
class LibraryArchive
{
public:
    // `address` as configured (ArchiveAddress::configured); empty: no archive.
    explicit LibraryArchive(const QString &address);

    bool isConfigured() const { return !m_address.isEmpty(); }
    QString address() const { return m_address; }

    // Connects (once; again after a failure). False with the reason when the archive cannot be
    // reached or its address is refused.
    bool connect(QString *error);
    LibraryStore &store() { return m_store; }

    struct Sent {
        QString sha256;
        QString path;           // the local path the log was saved at, for messages
        QString reason;         // empty: in the archive now
        bool repaired = false;  // the archive's copy did not hash to its id and was replaced
    };

    // Marks `ids` as waiting for the archive in `local`, then sends them; what could not be sent
    // keeps its mark. `onSent` is called once per id.
    bool saveAndSend(LibraryStore &local, const QStringList &ids, const std::function<void(const Sent &)> &onSent,
                     QString *error);
    // Sends every log of `local` still waiting for the archive.
    bool sync(LibraryStore &local, const std::function<void(const Sent &)> &onSent, QString *error);

    // Where a machine's file is recorded in the archive: the machine's name, a colon, the path.
    static QString archivePath(const QString &localPath);

private:
    bool send(LibraryStore &local, const QString &sha256, Sent *sent);

    QString m_address;
    LibraryStore m_store;
    bool m_failedSinceConnect = false;
    QString m_unreachable;
};
