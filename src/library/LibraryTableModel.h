#pragma once

#include "LibraryFilter.h"
#include "LibraryRecord.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QSet>
#include <QTimer>

#include <vector>

class LibraryWorker;

// The window's table of the library: a view over the database, never a copy of it. It knows
// the number of rows of the current filter and holds the pages of rows the view has asked for;
// every query runs on the library's own thread and the table fills in as answers arrive. A
// cheap poll of the library's change counter brings in what the window or the command-line
// tool added meanwhile.
class LibraryTableModel : public QAbstractTableModel
{
    Q_OBJECT
    Q_PROPERTY(QString location READ location WRITE setLocation NOTIFY locationChanged)
    // The location as shown: an archive's address as parsed, empty when it cannot be parsed.
    Q_PROPERTY(QString shownLocation READ shownLocation NOTIFY locationChanged)
    // Part of the serial, device or site name, any case.
    Q_PROPERTY(QString filterText READ filterText WRITE setFilterText NOTIFY filterChanged)
    Q_PROPERTY(bool leaksOnly READ leaksOnly WRITE setLeaksOnly NOTIFY filterChanged)
    Q_PROPERTY(int sortColumn READ sortColumn NOTIFY sortChanged)
    Q_PROPERTY(bool sortDescending READ sortDescending NOTIFY sortChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    // Answers for the current filter have arrived (the count and the first page).
    Q_PROPERTY(bool ready READ ready NOTIFY readyChanged)
    // Why the library cannot be read; the poll keeps trying, and an archive that answers again
    // is shown without a restart.
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(int pollIntervalMs READ pollIntervalMs WRITE setPollIntervalMs NOTIFY pollIntervalMsChanged)

public:
    enum Column { Logger, Site, Job, Period, Volume, NightMinimum, Leak, ColumnCount };
    Q_ENUM(Column)
    enum Role { Sha256Role = Qt::UserRole + 1, LeakRole, PathRole, LoadedRole };

    static constexpr int kPageSize = 200;

    explicit LibraryTableModel(QObject *parent = nullptr);
    ~LibraryTableModel() override;

    QString location() const { return m_location; }
    void setLocation(const QString &location);
    QString shownLocation() const;
    QString filterText() const { return m_filter.text; }
    void setFilterText(const QString &text);
    bool leaksOnly() const { return m_filter.leaksOnly; }
    void setLeaksOnly(bool leaksOnly);
    int sortColumn() const { return m_sortColumn; }
    bool sortDescending() const { return m_filter.descending; }
    int count() const { return m_count; }
    bool ready() const { return m_ready; }
    QString lastError() const { return m_lastError; }
    int pollIntervalMs() const { return m_poll.interval(); }
    void setPollIntervalMs(int ms);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    // -1: the fleet order (leaks first, newest last pulse). A column chosen again turns round.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    Q_INVOKABLE void sortBy(int column);
    Q_INVOKABLE QString headerText(int column) const;

    // A file holding the log of `row`: a path this machine recorded that still holds the log's
    // content (never a path from the team archive, which other machines wrote), else its
    // verified stored bytes written into the run's private temporary folder. `logReady` (or
    // `openFailed`) follows.
    Q_INVOKABLE void requestLog(int row);
    // The ids of the rows loaded so far, in order (tests and the screen's selection).
    Q_INVOKABLE QStringList loadedIds() const;

signals:
    void locationChanged();
    void filterChanged();
    void sortChanged();
    void countChanged();
    void readyChanged();
    void lastErrorChanged();
    void pollIntervalMsChanged();
    void logReady(const QString &path);
    void openFailed(const QString &message);

private:
    const LibraryRecord *record(int row) const;
    void refresh();
    void fetchPage(int page) const;
    void poll();
    void setLastError(const QString &error);
    QString failureText(const QString &error) const;
    static QString cellText(const LibraryRecord &r, int column);

    LibraryWorker *m_worker;
    QString m_location;
    LibraryFilter m_filter;
    int m_sortColumn = -1;
    int m_count = 0;
    bool m_ready = false;
    QString m_lastError;
    quint64 m_query = 0;       // moves on with every change of what is shown
    qint64 m_generation = -1;  // the library's change counter when the rows were read
    mutable QHash<int, std::vector<LibraryRecord>> m_pages;
    mutable QSet<int> m_requested;
    QTimer m_poll;
    bool m_pollBusy = false;
};
