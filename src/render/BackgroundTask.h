#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QtConcurrent>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

// One piece of work at a time on the global thread pool for a GUI-thread owner. The work gets
// a cancellation flag to poll; its result comes back on the owner's thread, unless the task was
// cancelled (or the owner destroyed) first, in which case it is dropped. The work must capture
// only data it owns: never the owner.
template <typename Result> class BackgroundTask
{
public:
    using Work = std::function<Result(const std::atomic_bool &cancelled)>;
    using Done = std::function<void(Result)>;

    BackgroundTask(QObject *owner, Done done) : m_owner(owner), m_done(std::move(done)) {}
    ~BackgroundTask() { cancel(); }
    BackgroundTask(const BackgroundTask &) = delete;
    BackgroundTask &operator=(const BackgroundTask &) = delete;

    bool running() const { return m_watcher != nullptr; }

    // Starts the work; a task still running is cancelled first.
    void start(Work work)
    {
        cancel();
        auto *watcher = new QFutureWatcher<Result>(m_owner);
        auto flag = std::make_shared<std::atomic_bool>(false);
        m_watcher = watcher;
        m_cancelled = flag;
        QObject::connect(watcher, &QFutureWatcherBase::finished, m_owner, [this, watcher] {
            m_watcher = nullptr;
            m_cancelled.reset();
            Result result = watcher->result();
            watcher->deleteLater();
            m_done(std::move(result));
        });
        watcher->setFuture(
            QtConcurrent::run(QThreadPool::globalInstance(), [work = std::move(work), flag] { return work(*flag); }));
    }

    // Tells the running work to stop early and forgets it: its result is never delivered.
    void cancel()
    {
        if (!m_watcher)
            return;
        m_cancelled->store(true);
        QObject::disconnect(m_watcher, nullptr, m_owner, nullptr);
        QObject::connect(m_watcher, &QFutureWatcherBase::finished, m_watcher, &QObject::deleteLater);
        if (m_watcher->isFinished())
            m_watcher->deleteLater();
        m_watcher = nullptr;
        m_cancelled.reset();
    }

private:
    QObject *m_owner;
    Done m_done;
    QFutureWatcher<Result> *m_watcher = nullptr;
    std::shared_ptr<std::atomic_bool> m_cancelled;
};
