#include "SavedSessionRegistry.h"

#include <algorithm>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
constexpr int kFormatVersion = 1;
// Far beyond what thousands of saves need; anything larger is not ours.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;
// Sizes and addresses are stored as JSON numbers, exact up to 2^53.
constexpr double kMaxExact = 9007199254740992.0;

QString timeText(const QDateTime &t)
{
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QJsonValue timeValue(const QDateTime &t)
{
    return t.isValid() ? QJsonValue(timeText(t)) : QJsonValue(QJsonValue::Null);
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

bool sameTime(const QDateTime &a, const QDateTime &b)
{
    return a.toMSecsSinceEpoch() == b.toMSecsSinceEpoch();
}
}  // namespace

QString SavedSessionRegistry::defaultFileName()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/saved-sessions.json");
}

SavedSessionRegistry::SavedSessionRegistry(QObject *parent) : SavedSessionRegistry(defaultFileName(), parent) {}

SavedSessionRegistry::SavedSessionRegistry(const QString &fileName, QObject *parent)
    : QObject(parent), m_fileName(fileName)
{
    reload();
}

void SavedSessionRegistry::setFileName(const QString &fileName)
{
    if (fileName == m_fileName)
        return;
    m_fileName = fileName;
    emit fileNameChanged();
    reload();
}

bool SavedSessionRegistry::reload()
{
    Records records;
    QString error;
    const bool ok = readFile(&records, &error);
    m_records = std::move(records);
    m_keepDamaged = !ok;
    setLastError(error);
    if (!ok)
        qWarning().noquote() << error;
    bump();
    return ok;
}

bool SavedSessionRegistry::readFile(Records *records, QString *error) const
{
    records->clear();
    QFile file(m_fileName);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("Could not read the record of saved sessions %1: %2").arg(m_fileName, file.errorString());
        return false;
    }
    if (file.size() > kMaxFileBytes) {
        *error =
            QStringLiteral("The record of saved sessions %1 is damaged (too large); it is ignored").arg(m_fileName);
        return false;
    }
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parse);
    const QJsonObject root = doc.object();
    if (parse.error != QJsonParseError::NoError || !doc.isObject() ||
        root.value(QLatin1String("version")).toInt(-1) != kFormatVersion ||
        !root.value(QLatin1String("loggers")).isArray()) {
        *error = QStringLiteral("The record of saved sessions %1 is damaged (%2); it is ignored")
                     .arg(m_fileName, parse.error != QJsonParseError::NoError
                                          ? parse.errorString() + QStringLiteral(" at byte %1").arg(parse.offset)
                                          : QStringLiteral("not a known format"));
        return false;
    }
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
            Entry entry;
            if (!fromJson(sessionValue.toObject(), &entry)) {
                ++bad;
                continue;
            }
            (*records)[serial][entry.index] = entry;
        }
    }
    if (bad > 0) {
        // The rest is still good: it is kept, and the file is set aside before the next write.
        *error = QStringLiteral("The record of saved sessions %1 is damaged (%2 unreadable entries were ignored)")
                     .arg(m_fileName)
                     .arg(bad);
        return false;
    }
    return true;
}

QJsonObject SavedSessionRegistry::toJson(const Entry &e)
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

bool SavedSessionRegistry::fromJson(const QJsonObject &o, Entry *e)
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

bool SavedSessionRegistry::writeFile(QString *error)
{
    if (!QDir().mkpath(QFileInfo(m_fileName).absolutePath())) {
        *error = QStringLiteral("Could not create the folder of %1").arg(m_fileName);
        return false;
    }
    if (m_keepDamaged && QFile::exists(m_fileName)) {
        QString aside = m_fileName + QStringLiteral(".damaged");
        for (int n = 2; QFile::exists(aside) && n < 1000; ++n)
            aside = m_fileName + QStringLiteral(".damaged%1").arg(n);
        if (!QFile::rename(m_fileName, aside)) {
            *error = QStringLiteral("The record of saved sessions %1 is damaged and could not be set aside; "
                                    "it is left as it is")
                         .arg(m_fileName);
            return false;
        }
        m_keptAs = aside;
    }
    m_keepDamaged = false;

    QJsonArray loggers;
    for (const auto &logger : m_records) {
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

    QSaveFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson()) < 0 || !file.commit()) {
        *error =
            QStringLiteral("Could not write the record of saved sessions %1: %2").arg(m_fileName, file.errorString());
        return false;
    }
    return true;
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
    // Whatever another copy of the program recorded since our last read stays.
    Records fresh;
    QString error;
    if (readFile(&fresh, &error)) {
        for (const auto &logger : m_records)
            for (const auto &entry : logger.second)
                fresh[logger.first].emplace(entry.first, entry.second);
        m_records = std::move(fresh);
    } else {
        m_keepDamaged = true;
        for (const auto &logger : fresh)
            for (const auto &entry : logger.second)
                m_records[logger.first].emplace(entry.first, entry.second);
        qWarning().noquote() << error;
    }
    Entry e;
    e.index = session.sessionIndex();
    e.startAddress = session.startAddress();
    e.endAddress = session.endAddress();
    e.size = session.filesize();
    e.start = session.startTime();
    e.end = session.endTime();
    e.path = path;
    e.savedAt = QDateTime::currentDateTimeUtc();
    m_records[key][e.index] = e;
    bump();
    QString writeError;
    if (!writeFile(&writeError)) {
        setLastError(writeError);
        qWarning().noquote() << writeError;
        return false;
    }
    if (!m_keptAs.isEmpty()) {
        setLastError(QStringLiteral("The damaged record of saved sessions was kept as %1").arg(m_keptAs));
        qWarning().noquote() << m_lastError;
        m_keptAs.clear();
    }
    return true;
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
