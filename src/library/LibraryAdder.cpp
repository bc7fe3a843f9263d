#include "LibraryAdder.h"

#include "LibraryAnalysis.h"
#include "LibraryStore.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QtConcurrent>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {
struct Work {
    LibraryAdder::Item item;
    bool analysed = false;
    LibraryRecord record;
    QByteArray bytes;
};

Work prepare(const QString &path, const QHash<QString, int> &known, bool reanalyse)
{
    Work w;
    w.item.path = path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        w.item.outcome = LibraryAdder::Outcome::Refused;
        w.item.reason = file.errorString();
        return w;
    }
    if (file.size() > LibraryAdder::kMaxFileSize) {
        w.item.outcome = LibraryAdder::Outcome::Refused;
        w.item.reason = QStringLiteral("too large for a raw log (%1 bytes)").arg(file.size());
        return w;
    }
    w.bytes = file.readAll();
    w.item.sha256 = LibraryAnalysis::sha256Hex(w.bytes);
    if (!reanalyse && known.value(w.item.sha256, -1) >= LibraryAnalysis::kVersion) {
        w.bytes.clear();
        w.item.outcome = LibraryAdder::Outcome::Present;
        return w;
    }
    QString reason;
    w.analysed = LibraryAnalysis::analyse(w.bytes, &w.record, &reason);
    if (!w.analysed) {
        w.bytes.clear();
        w.item.outcome = LibraryAdder::Outcome::Refused;
        w.item.reason = reason;
    }
    return w;
}

// Results travel to the writer through a short queue, so fast readers wait for the database
// instead of piling files up in memory.
class Handoff
{
public:
    explicit Handoff(size_t capacity) : m_capacity(capacity) {}
    void push(Work &&w)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_space.wait(lock, [&] { return m_queue.size() < m_capacity; });
        m_queue.push_back(std::move(w));
        m_ready.notify_one();
    }
    Work pop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [&] { return !m_queue.empty(); });
        Work w = std::move(m_queue.front());
        m_queue.pop_front();
        m_space.notify_one();
        return w;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready, m_space;
    std::deque<Work> m_queue;
    size_t m_capacity;
};

void dropVanishedPaths(LibraryStore &store, const QString &sha256, const QString &path)
{
    QStringList recorded;
    QString error;
    if (!store.paths(sha256, &recorded, &error))
        return;
    for (const QString &p : recorded) {
        if (p != path && !QFileInfo::exists(p))
            store.removePath(p, &error);
    }
}

void write(LibraryStore &store, Work &w)
{
    using O = LibraryAdder::Outcome;
    if (w.item.outcome == O::Refused)
        return;
    QString error;
    bool ok = true;
    if (w.analysed) {
        switch (store.add(w.record, w.bytes, w.item.path, &error)) {
        case LibraryStore::AddResult::Added:
            w.item.outcome = O::Added;
            break;
        case LibraryStore::AddResult::Reanalysed:
            w.item.outcome = O::Reanalysed;
            break;
        case LibraryStore::AddResult::Present:
            w.item.outcome = O::Present;
            break;
        case LibraryStore::AddResult::Repaired:
            w.item.outcome = O::Repaired;
            break;
        case LibraryStore::AddResult::Failed:
            ok = false;
            break;
        }
    } else {
        // Known when the files were handed out; removed since by someone else, it is added anew.
        ok = store.addPath(w.item.sha256, w.item.path, &error);
        if (!ok) {
            Work again = prepare(w.item.path, {}, true);
            w = std::move(again);
            write(store, w);
            return;
        }
    }
    if (!ok) {
        w.item.outcome = O::Failed;
        w.item.reason = error;
        return;
    }
    dropVanishedPaths(store, w.item.sha256, w.item.path);
}
}  // namespace

QStringList LibraryAdder::expand(const QStringList &paths, QStringList *missing)
{
    QStringList files;
    for (const QString &p : paths) {
        const QFileInfo info(p);
        if (info.isFile()) {
            files << info.absoluteFilePath();
        } else if (info.isDir()) {
            QStringList found;
            QDirIterator it(info.absoluteFilePath(), {QStringLiteral("*.rlog")}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                found << QFileInfo(it.next()).absoluteFilePath();
            found.sort();
            files << found;
        } else {
            missing->append(p);
        }
    }
    files.removeDuplicates();
    return files;
}

bool LibraryAdder::add(LibraryStore &store, const QStringList &files, const Options &options,
                       const std::function<void(const Item &)> &onItem, QString *error)
{
    QHash<QString, int> known;
    if (!store.analysisVersions(&known, error))
        return false;
    const int threads =
        std::max(1, std::min(options.threads > 0 ? options.threads : QThread::idealThreadCount(), int(files.size())));
    QThreadPool pool;
    pool.setMaxThreadCount(threads);
    Handoff handoff(size_t(threads) * 2);
    std::atomic<int> next{0};
    const bool reanalyse = options.reanalyse;
    QList<QFuture<void>> workers;
    for (int t = 0; t < threads; ++t) {
        workers << QtConcurrent::run(&pool, [&] {
            for (int i = next++; i < files.size(); i = next++)
                handoff.push(prepare(files.at(i), known, reanalyse));
        });
    }
    for (int done = 0; done < files.size(); ++done) {
        Work w = handoff.pop();
        write(store, w);
        onItem(w.item);
    }
    for (auto &f : workers)
        f.waitForFinished();
    return true;
}
