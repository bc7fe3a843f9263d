#pragma once

#include "LibraryStore.h"

#include <QObject>
#include <QThread>

#include <functional>

// A thread of its own holding one connection to the library: the window's objects hand it jobs
// and get their answers back as queued calls, so the GUI thread never waits for the database
// (another process may hold its write lock for a while). Jobs run in the order given.
class LibraryWorker : public QObject
{
    Q_OBJECT

public:
    explicit LibraryWorker(QObject *parent = nullptr);
    ~LibraryWorker() override;

    // Runs `job` on the worker's thread with the store opened at `location` (reopened when
    // it changes or is closed); `opened` is false, with the reason in `error`, when it cannot be
    // opened.
    using Job = std::function<void(LibraryStore &store, bool opened, const QString &error)>;
    void post(const QString &location, Job job);

private:
    QThread m_thread;
    QObject *m_context;               // lives on m_thread
    LibraryStore *m_store = nullptr;  // created, used and destroyed on m_thread
    QString m_openedAt;
    QString m_openError;
};
