#include "SavedSessionRegistry.h"

#include <algorithm>
#include <QDebug>
#include <QMetaObject>
#include <QStandardPaths>

namespace {
bool sameTime(const QDateTime &a, const QDateTime &b)
{
    return a.toMSecsSinceEpoch() == b.toMSecsSinceEpoch();
}
}  // namespace

QString SavedSessionRegistry::defaultFileName()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/saved-sessions.json");
}

SavedSessionRegistry::SavedSessionRegistry(QObject *parent)
    : SavedSessionRegistry(defaultFileName(), Background, parent)
{
}

SavedSessionRegistry::SavedSessionRegistry(const QString &fileName, IoMode mode, QObject *parent,
                                           SavedSessionFile::ByteReader reader)
    : QObject(parent), m_fileName(fileName), m_mode(mode), m_reader(std::move(reader))
{
    m_pool.setMaxThreadCount(1);
    m_pool.setExpiryTimeout(-1);
    reload();
}

SavedSessionRegistry::~SavedSessionRegistry()
{
    // A write under way finishes: the file is replaced whole or not at all either way, but a
    // save the user was told about should reach it.
    m_pool.waitForDone();
}

void SavedSessionRegistry::setFileName(const QString &fileName)
{
    if (fileName == m_fileName)
        return;
    m_fileName = fileName;
    ++m_generation;
    m_records.clear();
    m_unwritten.clear();
    emit fileNameChanged();
    reload();
}

void SavedSessionRegistry::submit(std::function<Outcome()> step)
{
    m_pool.start([this, step = std::move(step)] {
        Outcome outcome = step();
        {
            std::lock_guard<std::mutex> lock(m_doneMutex);
            m_done.push_back(std::move(outcome));
        }
        // Dropped with the registry when it is gone by then.
        QMetaObject::invokeMethod(
            this, [this] { drain(); }, Qt::QueuedConnection);
    });
    if (m_mode == Blocking)
        waitForIdle();
}

void SavedSessionRegistry::waitForIdle()
{
    m_pool.waitForDone();
    drain();
}

void SavedSessionRegistry::drain()
{
    for (;;) {
        Outcome outcome;
        {
            std::lock_guard<std::mutex> lock(m_doneMutex);
            if (m_done.empty())
                return;
            outcome = std::move(m_done.front());
            m_done.pop_front();
        }
        if (outcome.generation == m_generation)
            take(outcome);
    }
}

SavedSessionRegistry::Records SavedSessionRegistry::withUnwritten(Records records) const
{
    for (const auto &change : m_unwritten)
        SavedSessionFile::applyChange(&records, change.second);
    return records;
}

void SavedSessionRegistry::take(const Outcome &outcome)
{
    using Status = SavedSessionFile::Status;
    QString error;
    if (outcome.isWrite) {
        const SavedSessionFile::WriteResult &w = outcome.write;
        if (w.written) {
            m_unwritten.erase(std::remove_if(m_unwritten.begin(), m_unwritten.end(),
                                             [&](const auto &c) { return c.first <= outcome.throughChange; }),
                              m_unwritten.end());
            m_records = withUnwritten(w.records);
            if (!w.keptAs.isEmpty())
                error = QStringLiteral("The damaged record of saved sessions was kept as %1").arg(w.keptAs);
        } else {
            if (w.readOnly)
                m_records = withUnwritten(w.records);
            error = w.error;
        }
        m_lastStepOk = w.written;
    } else {
        const SavedSessionFile::ReadResult &r = outcome.read;
        // A file that could not be read says nothing about what is recorded: keep what we know.
        if (r.status != Status::Unreadable && r.status != Status::NotRegular)
            m_records = withUnwritten(r.records);
        error = r.error;
        m_lastStepOk = r.status == Status::Ok || r.status == Status::Missing;
    }
    if (!error.isEmpty())
        qWarning().noquote() << error;
    setLastError(error);
    bump();
}

bool SavedSessionRegistry::reload()
{
    const SavedSessionFile file(m_fileName, m_reader);
    const quint64 generation = m_generation;
    submit([file, generation] {
        Outcome o;
        o.generation = generation;
        o.read = file.read();
        return o;
    });
    return m_mode == Background || m_lastStepOk;
}

void SavedSessionRegistry::queueWrite()
{
    const SavedSessionFile file(m_fileName, m_reader);
    std::vector<SavedSessionFile::Change> changes;
    for (const auto &c : m_unwritten)
        changes.push_back(c.second);
    const quint64 generation = m_generation;
    const quint64 through = m_lastChange;
    submit([file, changes, generation, through] {
        Outcome o;
        o.generation = generation;
        o.isWrite = true;
        o.throughChange = through;
        o.write = file.apply(changes);
        return o;
    });
}

bool SavedSessionRegistry::matches(const Entry &e, const RemoteFilesystemSession &s)
{
    if (e.startAddress != s.startAddress() || e.endAddress != s.endAddress() || e.size != s.filesize())
        return false;
    // Spans arrive after the listing; where both sides know one, it must agree as well.
    if (e.start.isValid() && s.startTime().isValid() && !sameTime(e.start, s.startTime()))
        return false;
    if (e.end.isValid() && s.endTime().isValid() && !sameTime(e.end, s.endTime()))
        return false;
    return true;
}

const SavedSessionRegistry::Entry *SavedSessionRegistry::find(const QString &serial,
                                                              const RemoteFilesystemSession &session) const
{
    const auto logger = m_records.find(serial.trimmed());
    if (logger == m_records.end())
        return nullptr;
    const auto entry = logger->second.find(session.sessionIndex());
    if (entry == logger->second.end() || !matches(entry->second, session))
        return nullptr;
    return &entry->second;
}

bool SavedSessionRegistry::isSaved(const QString &serial, const RemoteFilesystemSession &session) const
{
    return find(serial, session) != nullptr;
}

std::vector<RemoteFilesystemSessionPtr>
SavedSessionRegistry::newSessions(const QString &serial, const std::vector<RemoteFilesystemSessionPtr> &sessions) const
{
    std::vector<RemoteFilesystemSessionPtr> out;
    for (const auto &s : sessions)
        if (s && !isSaved(serial, *s))
            out.push_back(s);
    std::stable_sort(out.begin(), out.end(),
                     [](const auto &a, const auto &b) { return a->sessionIndex() < b->sessionIndex(); });
    return out;
}

bool SavedSessionRegistry::recordSaved(const QString &serial, const RemoteFilesystemSession &session,
                                       const QString &path)
{
    const QString key = serial.trimmed();
    if (key.isEmpty()) {
        setLastError(QStringLiteral("The logger reports no serial number: its saved sessions cannot be remembered"));
        qWarning().noquote() << m_lastError;
        return false;
    }
    SavedSessionFile::Change change;
    change.serial = key;
    Entry &e = change.entry;
    e.index = session.sessionIndex();
    e.startAddress = session.startAddress();
    e.endAddress = session.endAddress();
    e.size = session.filesize();
    e.start = session.startTime();
    e.end = session.endTime();
    e.path = path;
    e.savedAt = QDateTime::currentDateTimeUtc();
    SavedSessionFile::applyChange(&m_records, change);
    m_unwritten.emplace_back(++m_lastChange, change);
    bump();
    queueWrite();
    return m_mode == Background || m_lastStepOk;
}

void SavedSessionRegistry::scanned(const QString &serial, const std::vector<RemoteFilesystemSessionPtr> &sessions)
{
    const QString key = serial.trimmed();
    const auto logger = m_records.find(key);
    if (key.isEmpty() || logger == m_records.end())
        return;
    const QDateTime limit = QDateTime::currentDateTimeUtc().addDays(-kForgetAfterDays);
    std::vector<SavedSessionFile::Change> forgotten;
    for (const auto &entry : logger->second) {
        const Entry &e = entry.second;
        if (!e.savedAt.isValid() || e.savedAt >= limit)
            continue;
        const bool stillThere = std::any_of(sessions.begin(), sessions.end(), [&](const auto &s) {
            return s && s->sessionIndex() == e.index && matches(e, *s);
        });
        if (!stillThere)
            forgotten.push_back({key, e, true});
    }
    if (forgotten.empty())
        return;
    for (const auto &change : forgotten) {
        SavedSessionFile::applyChange(&m_records, change);
        m_unwritten.emplace_back(++m_lastChange, change);
    }
    bump();
    queueWrite();
}

void SavedSessionRegistry::scanned(const QString &serial, const QVariantList &sessions)
{
    std::vector<RemoteFilesystemSessionPtr> list;
    for (const QVariant &v : sessions) {
        auto *s = qobject_cast<RemoteFilesystemSession *>(v.value<QObject *>());
        // Borrowed for the call only: the scan owns its sessions.
        if (s)
            list.emplace_back(s, [](RemoteFilesystemSession *) {});
    }
    scanned(serial, list);
}

std::vector<SavedSessionRegistry::Entry> SavedSessionRegistry::entries(const QString &serial) const
{
    std::vector<Entry> out;
    const auto logger = m_records.find(serial.trimmed());
    if (logger != m_records.end())
        for (const auto &entry : logger->second)
            out.push_back(entry.second);
    return out;
}

bool SavedSessionRegistry::isSaved(const QString &serial, RemoteFilesystemSession *session) const
{
    return session && isSaved(serial, *session);
}

QString SavedSessionRegistry::savedPath(const QString &serial, RemoteFilesystemSession *session) const
{
    const Entry *e = session ? find(serial, *session) : nullptr;
    return e ? e->path : QString();
}

QVariantList SavedSessionRegistry::newSessions(const QString &serial, const QVariantList &sessions) const
{
    std::vector<RemoteFilesystemSession *> out;
    for (const QVariant &v : sessions) {
        auto *s = qobject_cast<RemoteFilesystemSession *>(v.value<QObject *>());
        if (s && !isSaved(serial, *s))
            out.push_back(s);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto *a, const auto *b) { return a->sessionIndex() < b->sessionIndex(); });
    QVariantList list;
    for (auto *s : out)
        list.append(QVariant::fromValue(s));
    return list;
}

bool SavedSessionRegistry::recordSaved(const QString &serial, RemoteFilesystemSession *session, const QString &path)
{
    return session && recordSaved(serial, *session, path);
}

void SavedSessionRegistry::setLastError(const QString &error)
{
    if (error == m_lastError)
        return;
    m_lastError = error;
    emit lastErrorChanged();
}

void SavedSessionRegistry::bump()
{
    ++m_revision;
    emit recordsChanged();
}
