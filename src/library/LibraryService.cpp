#include "LibraryService.h"

#include "LibraryAdder.h"
#include "LibraryLocation.h"
#include "LibraryWorker.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>

LibraryService::LibraryService(QObject *parent)
    : QObject(parent), m_worker(new LibraryWorker(this)), m_option(commandLineOption(QCoreApplication::arguments()))
{
}

LibraryService::~LibraryService() = default;

QString LibraryService::commandLineOption(const QStringList &arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == QLatin1String("--library"))
            return arguments.value(i + 1);
        if (a.startsWith(QLatin1String("--library=")))
            return a.mid(int(strlen("--library=")));
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
    m_worker->post(location(), [self, file](LibraryStore &store, bool opened, const QString &openError) {
        bool ok = opened;
        QString message = openError;
        if (opened) {
            // One file: the pool's single worker reads and analyses it beside this thread.
            ok = LibraryAdder::add(
                     store, {file}, {},
                     [&](const LibraryAdder::Item &item) {
                         ok = item.outcome != LibraryAdder::Outcome::Refused &&
                              item.outcome != LibraryAdder::Outcome::Failed;
                         message = item.reason;
                     },
                     &message) &&
                 ok;
        }
        QMetaObject::invokeMethod(qApp, [self, file, ok, message] {
            if (!self)
                return;
            --self->m_pending;
            emit self->pendingChanged();
            emit self->added(file, ok, message);
        });
    });
}
