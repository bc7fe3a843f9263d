#pragma once

#include "render/BackgroundTask.h"

#include <QDateTime>
#include <QObject>
#include <QString>

class PulseLog;

// The viewer's way to the customer report: takes the log's snapshot in the GUI thread (one
// pass over the period's entries) and draws and writes the file on the thread pool, so the
// window never waits for the disk. One report at a time; the result comes back as `finished`.
class CustomerReportWriter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)

public:
    explicit CustomerReportWriter(QObject *parent = nullptr);

    bool busy() const { return m_task.running(); }

    // The report of `log` over [from, to] (an invalid date leaves that side open) into
    // `fileName`, volumes in `unit` (empty: the log's unit, else gallons) on "letter" or "a4"
    // paper. False, with nothing started, without a log, while a report is being written, or for
    // an unknown unit or paper.
    Q_INVOKABLE bool start(PulseLog *log, const QString &fileName, const QDateTime &from, const QDateTime &to,
                           const QString &unit, const QString &page);

signals:
    void busyChanged();
    void finished(bool ok, const QString &fileName, const QString &error);

private:
    struct Outcome {
        bool ok = false;
        QString fileName;
        QString error;
    };
    BackgroundTask<Outcome> m_task;
};
