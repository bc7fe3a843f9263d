#include "SavedSessionFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>
#include <QThread>

namespace {
// Far beyond what thousands of saves need; anything larger is not ours.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
// Sizes and addresses are stored as JSON numbers, exact up to 2^53.
constexpr double kMaxExact = 9007199254740992.0;
// A program that died holding the lock leaves it behind; the others take it over after this.
constexpr int kStaleLockMs = 30000;
constexpr int kLockPollMs = 5;

QJsonValue timeValue(const QDateTime &t)
{
    return t.isValid() ? QJsonValue(t.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue(QJsonValue::Null);
}

// Null or an ISO time; false for anything else.
bool readTime(const QJsonValue &v, QDateTime *t)
{
    if (v.isNull() || v.isUndefined()) {
        *t = QDateTime();
        return true;
    }
    if (!v.isString())
        return false;
    *t = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
    return t->isValid();
}

bool readUnsigned(const QJsonObject &o, const char *key, double max, double *value)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!(d >= 0 && d <= max) || d != double(qint64(d)))
        return false;
    *value = d;
    return true;
}

QJsonObject toJson(const SavedSessionEntry &e)
{
    QJsonObject o;
    o[QStringLiteral("index")] = double(e.index);
    o[QStringLiteral("startAddress")] = double(e.startAddress);
    o[QStringLiteral("endAddress")] = double(e.endAddress);
    o[QStringLiteral("size")] = double(e.size);
    o[QStringLiteral("start")] = timeValue(e.start);
    o[QStringLiteral("end")] = timeValue(e.end);
    o[QStringLiteral("path")] = e.path;
    o[QStringLiteral("savedAt")] = timeValue(e.savedAt);
    return o;
}

bool fromJson(const QJsonObject &o, SavedSessionEntry *e)
{
    double index = 0, start = 0, end = 0, size = 0;
    if (!readUnsigned(o, "index", 4294967295.0, &index) || !readUnsigned(o, "startAddress", 4294967295.0, &start) ||
        !readUnsigned(o, "endAddress", 4294967295.0, &end) || !readUnsigned(o, "size", kMaxExact, &size) ||
        !o.value(QLatin1String("path")).isString() || !readTime(o.value(QLatin1String("start")), &e->start) ||
        !readTime(o.value(QLatin1String("end")), &e->end) || !readTime(o.value(QLatin1String("savedAt")), &e->savedAt))
        return false;
    e->index = uint32_t(index);
    e->startAddress = uint32_t(start);
    e->endAddress = uint32_t(end);
    e->size = uint64_t(size);
    e->path = o.value(QLatin1String("path")).toString();
    return true;
}

// QLockFile::tryLock(timeout) backs off to sleeps of seconds: against a program that saves
// again and again it may never find the lock free. Short, even polls take their turn.
bool takeLock(QLockFile *lock)
{
    QElapsedTimer waited;
    waited.start();
    while (!lock->tryLock(0)) {
        if (lock->error() != QLockFile::LockFailedError || waited.elapsed() > SavedSessionFile::kLockWaitMs)
            return false;
        QThread::msleep(kLockPollMs);
    }
    return true;
}

bool readWholeFile(const QString &fileName, QByteArray *bytes, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    if (file.size() > kMaxFileBytes) {
        // Too large to be ours: read only enough to find it damaged.
        *bytes = file.read(kMaxFileBytes + 1);
        return true;
    }
    *bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    return true;
}
}  // namespace

SavedSessionFile::SavedSessionFile(const QString &fileName, ByteReader reader)
    : m_fileName(fileName), m_reader(reader ? std::move(reader) : ByteReader(readWholeFile))
{
}

SavedSessionFile::ReadResult SavedSessionFile::read() const
{
    ReadResult r;
    for (int attempt = 1; attempt <= kReadAttempts; ++attempt) {
        r = readOnce();
        if (r.status != Status::Unreadable)
            break;
        if (attempt < kReadAttempts)
            QThread::msleep(kRetryDelayMs * attempt);
    }
    return r;
}

SavedSessionFile::ReadResult SavedSessionFile::readOnce() const
{
    ReadResult r;
    const QFileInfo info(m_fileName);
    if (!info.exists() && !info.isSymLink())
        return r;
    if (!info.isFile()) {
        r.status = Status::NotRegular;
        r.error =
            QStringLiteral("The record of saved sessions %1 is not a regular file; it is not used").arg(m_fileName);
        return r;
    }
    QByteArray bytes;
    QString why;
    if (!m_reader(m_fileName, &bytes, &why)) {
        r.status = Status::Unreadable;
        r.error = QStringLiteral("Could not read the record of saved sessions %1: %2").arg(m_fileName, why);
        return r;
    }
    return parse(bytes);
}

SavedSessionFile::ReadResult SavedSessionFile::parse(const QByteArray &bytes) const
{
    ReadResult r;
    const auto damaged = [&](const QString &what) {
        r.status = Status::Damaged;
        r.error =
            QStringLiteral("The record of saved sessions %1 is damaged (%2); it is ignored").arg(m_fileName, what);
        return r;
    };
    if (bytes.size() > kMaxFileBytes)
        return damaged(QStringLiteral("too large"));
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return damaged(parseError.errorString() + QStringLiteral(" at byte %1").arg(parseError.offset));
    const QJsonObject root = doc.object();
    const int version = root.value(QLatin1String("version")).toInt(-1);
    if (!doc.isObject() || version < kFormatVersion || !root.value(QLatin1String("loggers")).isArray())
        return damaged(QStringLiteral("not a known format"));

    int bad = 0;
    for (const QJsonValue &loggerValue : root.value(QLatin1String("loggers")).toArray()) {
        const QJsonObject logger = loggerValue.toObject();
        const QString serial = logger.value(QLatin1String("serial")).toString().trimmed();
        const QJsonValue sessions = logger.value(QLatin1String("sessions"));
        if (serial.isEmpty() || !sessions.isArray()) {
            ++bad;
            continue;
        }
        for (const QJsonValue &sessionValue : sessions.toArray()) {
            SavedSessionEntry entry;
            if (!fromJson(sessionValue.toObject(), &entry)) {
                ++bad;
                continue;
            }
            r.records[serial][entry.index] = entry;
        }
    }
    if (version > kFormatVersion) {
        // Written by a later version: what we understand of it counts, and it stays as it is.
        r.status = Status::Newer;
        r.error = QStringLiteral("The record of saved sessions %1 was written by a newer version of the program; "
                                 "it is used as it is and new saves are not added to it")
                      .arg(m_fileName);
    } else if (bad > 0) {
        // The rest is still good: it is kept, and the file is set aside before the next write.
        r.status = Status::Damaged;
        r.error = QStringLiteral("The record of saved sessions %1 is damaged (%2 unreadable entries were ignored)")
                      .arg(m_fileName)
                      .arg(bad);
    } else {
        r.status = Status::Ok;
    }
    return r;
}

void SavedSessionFile::applyChange(Records *records, const Change &change)
{
    auto &logger = (*records)[change.serial];
    const auto it = logger.find(change.entry.index);
    if (change.forget) {
        if (it != logger.end() && it->second.savedAt == change.entry.savedAt)
            logger.erase(it);
        if (logger.empty())
            records->erase(change.serial);
    } else if (it == logger.end() || !(change.entry.savedAt < it->second.savedAt)) {
        logger[change.entry.index] = change.entry;
    }
}

QByteArray SavedSessionFile::toBytes(const Records &records)
{
    QJsonArray loggers;
    for (const auto &logger : records) {
        QJsonArray sessions;
        for (const auto &entry : logger.second)
            sessions.append(toJson(entry.second));
        QJsonObject item;
        item[QStringLiteral("serial")] = logger.first;
        item[QStringLiteral("sessions")] = sessions;
        loggers.append(item);
    }
    QJsonObject root;
    root[QStringLiteral("version")] = kFormatVersion;
    root[QStringLiteral("loggers")] = loggers;
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool SavedSessionFile::setAside(QString *keptAs, QString *error) const
{
    QString aside = m_fileName + QStringLiteral(".damaged");
    for (int n = 2; QFile::exists(aside) && n < 1000; ++n)
        aside = m_fileName + QStringLiteral(".damaged%1").arg(n);
    if (!QFile::rename(m_fileName, aside)) {
        *error = QStringLiteral("The record of saved sessions %1 is damaged and could not be set aside; "
                                "it is left as it is")
                     .arg(m_fileName);
        return false;
    }
    *keptAs = aside;
    return true;
}

SavedSessionFile::WriteResult SavedSessionFile::apply(const std::vector<Change> &changes) const
{
    WriteResult w;
    if (!QDir().mkpath(QFileInfo(m_fileName).absolutePath())) {
        w.error = QStringLiteral("Could not create the folder of %1").arg(m_fileName);
        return w;
    }
    // The whole read-merge-write is one step for every program using the file.
    QLockFile lock(m_fileName + QStringLiteral(".lock"));
    lock.setStaleLockTime(kStaleLockMs);
    if (!takeLock(&lock)) {
        w.error = QStringLiteral("Could not write the record of saved sessions %1: another program keeps it locked")
                      .arg(m_fileName);
        return w;
    }
    ReadResult current = read();
    w.records = current.records;
    switch (current.status) {
    case Status::Ok:
    case Status::Missing:
        break;
    case Status::Damaged:
        if (!setAside(&w.keptAs, &w.error))
            return w;
        break;
    case Status::Newer:
        w.readOnly = true;
        w.error = current.error;
        return w;
    case Status::Unreadable:
    case Status::NotRegular:
        w.error = current.error;
        return w;
    }
    for (const Change &c : changes)
        applyChange(&w.records, c);
    QSaveFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(toBytes(w.records)) < 0 || !file.commit()) {
        w.error =
            QStringLiteral("Could not write the record of saved sessions %1: %2").arg(m_fileName, file.errorString());
        return w;
    }
    w.written = true;
    return w;
}
