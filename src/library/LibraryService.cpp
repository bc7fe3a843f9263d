#include "LibraryService.h"

#include "ArchiveAddress.h"
#include "LibraryAdder.h"
#include "LibraryArchive.h"
#include "LibraryLocation.h"
#include "LibraryWorker.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>

namespace {
// On the library's thread, after a save: the log goes to the archive too, or waits for it.
void sendToArchive(QPointer<LibraryService> self, LibraryStore &store, const QString &address, const QString &sha256)
{
    LibraryArchive archive(address);
    QString reason, error;
    archive.saveAndSend(
        store, {sha256}, [&](const LibraryArchive::Sent &s) { reason = s.reason; }, &error);
    if (reason.isEmpty() && error.isEmpty())
        return;
    QMetaObject::invokeMethod(qApp, [self, reason, error] {
        if (self)
            self->reportArchiveWaiting(reason.isEmpty() ? error : reason);
    });
}
}  // namespace

LibraryService::LibraryService(QObject *parent)
    : QObject(parent), m_worker(new LibraryWorker(this)), m_option(commandLineOption(QCoreApplication::arguments())),
      m_archiveOption(commandLineOption(QCoreApplication::arguments(), QStringLiteral("archive-address")))
{
    m_archiveSync.setInterval(3 * 60 * 1000);
    connect(&m_archiveSync, &QTimer::timeout, this, &LibraryService::syncArchive);
    if (!archiveAddress().isEmpty())
        m_archiveSync.start();
}

LibraryService::~LibraryService() = default;

QString LibraryService::commandLineOption(const QStringList &arguments, const QString &name)
{
    const QString option = QStringLiteral("--") + name;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == option)
            return arguments.value(i + 1);
        if (a.startsWith(option + QLatin1Char('=')))
            return a.mid(option.size() + 1);
    }
    return QString();
}

void LibraryService::setSetting(const QString &setting)
{
    if (setting == m_setting)
        return;
    m_setting = setting;
    emit locationChanged();
}

QString LibraryService::location() const
{
    return LibraryLocation::resolve(m_option, m_setting);
}

void LibraryService::addFile(const QString &path)
{
    ++m_pending;
    emit pendingChanged();
    const QString file = QFileInfo(path).absoluteFilePath();
    QPointer<LibraryService> self(this);
    const QString archive = archiveAddress();
    m_worker->post(location(), [self, file, archive](LibraryStore &store, bool opened, const QString &openError) {
        bool ok = opened;
        QString message = openError;
        QString sha256;
        if (opened) {
            store.setMarkForArchive(!archive.isEmpty());
            // One file: the pool's single worker reads and analyses it beside this thread.
            ok = LibraryAdder::add(
                     store, {file}, {},
                     [&](const LibraryAdder::Item &item) {
                         ok = item.outcome != LibraryAdder::Outcome::Refused &&
                              item.outcome != LibraryAdder::Outcome::Failed;
                         message = item.reason;
                         sha256 = item.sha256;
                     },
                     &message) &&
                 ok;
        }
        if (ok && !archive.isEmpty())
            sendToArchive(self, store, archive, sha256);
        QMetaObject::invokeMethod(qApp, [self, file, ok, message] {
            if (!self)
                return;
            --self->m_pending;
            emit self->pendingChanged();
            emit self->added(file, ok, message);
        });
    });
}

void LibraryService::setArchiveSetting(const QString &setting)
{
    if (setting == m_archiveSetting)
        return;
    m_archiveSetting = setting;
    m_archiveReported = false;
    if (archiveAddress().isEmpty()) {
        m_archiveSync.stop();
    } else {
        m_archiveSync.start();
        QTimer::singleShot(0, this, &LibraryService::syncArchive);
    }
    emit archiveChanged();
}

QString LibraryService::archiveAddress() const
{
    return ArchiveAddress::configured(m_archiveOption, m_archiveSetting);
}

QString LibraryService::archiveAddressError(const QString &address) const
{
    return address.trimmed().isEmpty() ? QString() : ArchiveAddress::parse(address).error();
}

void LibraryService::reportArchiveWaiting(const QString &reason)
{
    if (m_archiveReported)
        return;
    m_archiveReported = true;
    emit archiveMessage(
        -1, QStringLiteral("Saved in the library; the team archive gets it when it answers (%1)").arg(reason));
}

void LibraryService::syncArchive()
{
    const QString archive = archiveAddress();
    if (archive.isEmpty())
        return;
    QPointer<LibraryService> self(this);
    m_worker->post(location(), [self, archive](LibraryStore &store, bool opened, const QString &) {
        QStringList waiting;
        QString error;
        if (!opened || !store.archivePending(&waiting, &error) || waiting.isEmpty())
            return;
        LibraryArchive sender(archive);
        int sent = 0;
        sender.sync(
            store, [&](const LibraryArchive::Sent &s) { sent += s.reason.isEmpty() ? 1 : 0; }, &error);
        if (sent == 0)
            return;
        QMetaObject::invokeMethod(qApp, [self, sent] {
            if (!self)
                return;
            self->m_archiveReported = false;
            emit self->archiveMessage(1, sent == 1
                                             ? QStringLiteral("1 waiting log sent to the team archive")
                                             : QStringLiteral("%1 waiting logs sent to the team archive").arg(sent));
        });
    });
}
