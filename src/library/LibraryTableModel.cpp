#include "LibraryTableModel.h"

#include "ArchiveAddress.h"
#include "common/SafeFileName.h"
#include "LibraryAdder.h"
#include "LibraryAnalysis.h"
#include "LibraryWorker.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

#include <climits>
#include <cmath>

namespace {
LibraryFilter::Column filterColumn(int column)
{
    using C = LibraryFilter::Column;
    switch (column) {
    case LibraryTableModel::Logger:
        return C::Serial;
    case LibraryTableModel::Site:
        return C::DeviceName;
    case LibraryTableModel::Job:
        return C::JobName;
    case LibraryTableModel::Period:
        return C::LastPulse;
    case LibraryTableModel::Volume:
        return C::Volume;
    case LibraryTableModel::NightMinimum:
        return C::NightMinimum;
    case LibraryTableModel::Leak:
        return C::Leak;
    default:
        return C::Default;
    }
}

QString localDate(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd"));
}

QString nightFlowText(const LibraryRecord &r)
{
    if (std::isnan(r.nightMinimum))
        return QString();
    const bool volume = r.nightFlowUnit == QLatin1String("Gallons per Minute");
    return QString::number(r.nightMinimum, 'f', volume ? 4 : 0) +
           (volume ? QStringLiteral(" gal/min") : QStringLiteral(" rev/h"));
}

// Where a log kept only in the library is written for the viewer: a folder of this run's own,
// readable by its owner only, removed at exit; a folder per log inside it keeps copies apart. The
// file is named as a local save of the session would be, since the viewer shows that name and
// offers it for exports. Empty when the folder cannot be made.
QString temporaryLogPath(const LibraryRecord &r)
{
    static QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/tarrowind-library-XXXXXX"));
    if (!folder.isValid())
        return QString();
    return folder.filePath(r.sha256) + QLatin1Char('/') +
           SafeFileName::sessionFileName(r.deviceName, int(qBound<int64_t>(0, r.sessionIndex, INT_MAX)), r.jobName, 1);
}

// A file on this machine that holds the content `sha256` names: the path was recorded by
// whoever wrote the row, and the file may have changed since.
bool holdsContent(const QString &path, const QString &sha256)
{
    const QFileInfo info(path);
    if (!info.isAbsolute() || path.startsWith(QLatin1String("//")) || path.startsWith(QLatin1String("\\\\")) ||
        !info.isFile() || info.size() > LibraryAdder::kMaxFileSize)
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && LibraryAnalysis::sha256Hex(file.readAll()) == sha256;
}
}  // namespace

LibraryTableModel::LibraryTableModel(QObject *parent) : QAbstractTableModel(parent), m_worker(new LibraryWorker)
{
    m_poll.setInterval(1000);
    connect(&m_poll, &QTimer::timeout, this, &LibraryTableModel::poll);
}

LibraryTableModel::~LibraryTableModel()
{
    // Every job still queued finishes before this object's members go.
    delete m_worker;
}

void LibraryTableModel::setLocation(const QString &location)
{
    if (location == m_location)
        return;
    m_location = location;
    emit locationChanged();
    refresh();
}

QString LibraryTableModel::shownLocation() const
{
    if (!ArchiveAddress::isAddress(m_location))
        return m_location;
    const ArchiveAddress address = ArchiveAddress::parse(m_location);
    return address.isValid() ? address.displayText() : QString();
}

QString LibraryTableModel::failureText(const QString &error) const
{
    return ArchiveAddress::isAddress(m_location) ? QStringLiteral("Offline, retrying: ") + error : error;
}

void LibraryTableModel::setFilterText(const QString &text)
{
    if (text == m_filter.text)
        return;
    m_filter.text = text;
    emit filterChanged();
    refresh();
}

void LibraryTableModel::setLeaksOnly(bool leaksOnly)
{
    if (leaksOnly == m_filter.leaksOnly)
        return;
    m_filter.leaksOnly = leaksOnly;
    emit filterChanged();
    refresh();
}

void LibraryTableModel::setPollIntervalMs(int ms)
{
    if (ms == m_poll.interval())
        return;
    m_poll.setInterval(ms);
    emit pollIntervalMsChanged();
}

void LibraryTableModel::setLastError(const QString &error)
{
    if (error == m_lastError)
        return;
    m_lastError = error;
    emit lastErrorChanged();
}

int LibraryTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_count;
}

int LibraryTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

const LibraryRecord *LibraryTableModel::record(int row) const
{
    if (row < 0 || row >= m_count)
        return nullptr;
    const int page = row / kPageSize;
    const auto it = m_pages.constFind(page);
    if (it == m_pages.constEnd()) {
        fetchPage(page);
        return nullptr;
    }
    const size_t offset = size_t(row % kPageSize);
    return offset < it->size() ? &(*it)[offset] : nullptr;
}

QString LibraryTableModel::cellText(const LibraryRecord &r, int column)
{
    switch (column) {
    case Logger:
        return r.serial;
    case Site:
        return r.deviceName;
    case Job:
        return r.jobName;
    case Period:
        return r.hasPulses ? localDate(r.firstPulseMs) + QStringLiteral(" – ") + localDate(r.lastPulseMs) : QString();
    case Volume:
        return std::isnan(r.volume) ? QString() : QString::number(r.volume, 'f', 1) + QLatin1Char(' ') + r.unit;
    case NightMinimum:
        return nightFlowText(r);
    case Leak:
        return r.leak ? QStringLiteral("Leak") : QString();
    default:
        return QString();
    }
}

QVariant LibraryTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    const LibraryRecord *r = record(index.row());
    if (role == LoadedRole)
        return r != nullptr;
    if (!r)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
        return cellText(*r, index.column());
    case Sha256Role:
        return r->sha256;
    case LeakRole:
        return r->leak;
    default:
        return QVariant();
    }
}

QString LibraryTableModel::headerText(int column) const
{
    static const char *const names[] = {"Logger", "Site", "Job", "Period", "Volume", "Night Minimum", "Leak"};
    return column >= 0 && column < ColumnCount ? QString::fromLatin1(names[column]) : QString();
}

QVariant LibraryTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return headerText(section);
}

QHash<int, QByteArray> LibraryTableModel::roleNames() const
{
    return {{Qt::DisplayRole, "display"}, {Sha256Role, "sha256"}, {LeakRole, "leak"}, {LoadedRole, "loaded"}};
}

void LibraryTableModel::sort(int column, Qt::SortOrder order)
{
    m_sortColumn = column >= 0 && column < ColumnCount ? column : -1;
    m_filter.sortColumn = filterColumn(m_sortColumn);
    m_filter.descending = m_sortColumn >= 0 && order == Qt::DescendingOrder;
    emit sortChanged();
    refresh();
}

void LibraryTableModel::sortBy(int column)
{
    sort(column, column == m_sortColumn && !m_filter.descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void LibraryTableModel::refresh()
{
    const quint64 query = ++m_query;
    if (m_ready) {
        m_ready = false;
        emit readyChanged();
    }
    if (m_location.isEmpty())
        return;
    m_pollBusy = true;
    LibraryFilter first = m_filter;
    first.offset = 0;
    first.limit = kPageSize;
    m_worker->post(m_location, [this, query, first](LibraryStore &store, bool opened, const QString &openError) {
        qint64 generation = 0;
        int rows = 0;
        std::vector<LibraryRecord> page;
        QString error = openError;
        // The counter is read first: a change made while the rows are read is seen by the next poll.
        const bool ok = opened && store.generation(&generation, &error) && store.page(first, &page, &rows, &error);
        QMetaObject::invokeMethod(
            this,
            [this, query, ok, generation, rows, page = std::move(page), error]() mutable {
                m_pollBusy = false;
                if (query != m_query)
                    return;
                setLastError(ok ? QString() : failureText(error));
                beginResetModel();
                m_pages.clear();
                m_requested.clear();
                const bool countChange = rows != m_count;
                m_count = ok ? rows : 0;
                if (ok)
                    m_pages.insert(0, std::move(page));
                m_requested.insert(0);
                m_generation = generation;
                endResetModel();
                if (countChange)
                    emit countChanged();
                m_ready = true;
                emit readyChanged();
                if (!m_poll.isActive())
                    m_poll.start();
            },
            Qt::QueuedConnection);
    });
}

void LibraryTableModel::fetchPage(int page) const
{
    if (m_requested.contains(page) || m_location.isEmpty())
        return;
    m_requested.insert(page);
    LibraryFilter f = m_filter;
    f.offset = page * kPageSize;
    f.limit = kPageSize;
    auto *self = const_cast<LibraryTableModel *>(this);
    const quint64 query = m_query;
    m_worker->post(m_location, [self, query, page, f](LibraryStore &store, bool opened, const QString &) {
        std::vector<LibraryRecord> rows;
        QString error;
        if (!opened || !store.list(f, &rows, &error, false))
            return;
        QMetaObject::invokeMethod(
            self,
            [self, query, page, rows = std::move(rows)]() mutable {
                if (query != self->m_query || rows.empty())
                    return;
                const int first = page * kPageSize;
                const int last = std::min(self->m_count, first + int(rows.size())) - 1;
                self->m_pages.insert(page, std::move(rows));
                if (last >= first)
                    emit self->dataChanged(self->index(first, 0), self->index(last, ColumnCount - 1));
            },
            Qt::QueuedConnection);
    });
}

void LibraryTableModel::poll()
{
    if (m_pollBusy || m_location.isEmpty())
        return;
    m_pollBusy = true;
    const quint64 query = m_query;
    m_worker->post(m_location, [this, query](LibraryStore &store, bool opened, const QString &openError) {
        qint64 generation = 0;
        QString error = openError;
        const bool ok = opened && store.generation(&generation, &error);
        QMetaObject::invokeMethod(
            this,
            [this, query, ok, generation, error] {
                m_pollBusy = false;
                if (query != m_query)
                    return;
                if (!ok)
                    setLastError(failureText(error));
                else if (generation != m_generation || !m_lastError.isEmpty())
                    refresh();
            },
            Qt::QueuedConnection);
    });
}

void LibraryTableModel::requestLog(int row)
{
    const LibraryRecord *r = record(row);
    if (!r) {
        emit openFailed(QStringLiteral("The log is still being read from the library"));
        return;
    }
    const QString sha256 = r->sha256;
    const bool local = !ArchiveAddress::isAddress(m_location);
    const QString temporaryPath = temporaryLogPath(*r);
    m_worker->post(
        m_location, [this, sha256, local, temporaryPath](LibraryStore &store, bool opened, const QString &openError) {
            QString path, error = openError;
            QStringList paths;
            if (opened && (!local || store.paths(sha256, &paths, &error))) {
                for (const QString &p : paths) {
                    if (holdsContent(p, sha256)) {
                        path = p;
                        break;
                    }
                }
                QByteArray bytes;
                if (path.isEmpty() && store.rawLog(sha256, &bytes, &error)) {
                    QSaveFile file(temporaryPath);
                    const QString folder = QFileInfo(temporaryPath).path();
                    if (!temporaryPath.isEmpty() && QDir().mkpath(folder) &&
                        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
                        file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
                        path = file.fileName();
                    else
                        error = QStringLiteral("cannot write a temporary copy: ") + file.errorString();
                }
            }
            QMetaObject::invokeMethod(
                this,
                [this, path, error] {
                    if (path.isEmpty())
                        emit openFailed(error);
                    else
                        emit logReady(path);
                },
                Qt::QueuedConnection);
        });
}

QStringList LibraryTableModel::loadedIds() const
{
    QStringList ids;
    for (int page = 0; page * kPageSize < m_count; ++page) {
        const auto it = m_pages.constFind(page);
        if (it == m_pages.constEnd())
            break;
        for (const auto &r : *it)
            ids << r.sha256;
    }
    return ids;
}
