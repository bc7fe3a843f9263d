#include "library/LibraryArchive.h"

#include "library/ArchiveAddress.h"

#include <QDir>
#include <QSysInfo>

LibraryArchive::LibraryArchive(const QString &address) : m_address(address.trimmed()) {}

bool LibraryArchive::connect(QString *error)
{
    if (!m_unreachable.isEmpty()) {
        *error = m_unreachable;
        return false;
    }
    if (m_store.isOpen() && !m_failedSinceConnect)
        return true;
    if (!isConfigured()) {
        *error = QStringLiteral("no shared archive is configured");
        return false;
    }
    const ArchiveAddress address = ArchiveAddress::parse(m_address);
    if (!address.isValid()) {
        m_unreachable = *error = address.error();
        return false;
    }
    m_failedSinceConnect = false;
    // Once unreachable, it stays so for this run: each attempt could wait for the connect timeout.
    if (!m_store.open(m_address, error)) {
        m_unreachable = *error;
        return false;
    }
    return true;
}

QString LibraryArchive::archivePath(const QString &localPath)
{
    return QSysInfo::machineHostName() + QLatin1Char(':') + QDir::fromNativeSeparators(localPath);
}

bool LibraryArchive::send(LibraryStore &local, const QString &sha256, Sent *sent)
{
    sent->sha256 = sha256;
    QStringList paths;
    LibraryRecord record;
    QByteArray raw;
    QString error;
    if (!local.paths(sha256, &paths, &error) || !local.record(sha256, &record, &error) ||
        !local.rawLog(sha256, &raw, &error)) {
        sent->reason = error;
        return false;
    }
    sent->path = paths.value(0);
    if (!connect(&error)) {
        sent->reason = QStringLiteral("the archive cannot be reached: ") + error.simplified();
        return false;
    }
    const QString where = paths.isEmpty() ? QString() : archivePath(paths.first());
    const LibraryStore::AddResult result = m_store.add(record, raw, where, &error);
    sent->repaired = result == LibraryStore::AddResult::Repaired;
    if (result == LibraryStore::AddResult::Failed) {
        // The transaction is gone with the connection: nothing of this log is in the archive.
        m_failedSinceConnect = true;
        sent->reason =
            error.trimmed().isEmpty() ? QStringLiteral("the connection to the archive was lost") : error.simplified();
        return false;
    }
    // Should this fail, the log is sent again by the next sync, which changes nothing.
    local.setArchivePending(sha256, false, &error);
    return true;
}

bool LibraryArchive::saveAndSend(LibraryStore &local, const QStringList &ids,
                                 const std::function<void(const Sent &)> &onSent, QString *error)
{
    for (const QString &id : ids) {
        if (!local.setArchivePending(id, true, error))
            return false;
    }
    for (const QString &id : ids) {
        Sent sent;
        send(local, id, &sent);
        onSent(sent);
    }
    return true;
}

bool LibraryArchive::sync(LibraryStore &local, const std::function<void(const Sent &)> &onSent, QString *error)
{
    QStringList ids;
    if (!local.archivePending(&ids, error))
        return false;
    for (const QString &id : ids) {
        Sent sent;
        send(local, id, &sent);
        onSent(sent);
    }
    return true;
}
