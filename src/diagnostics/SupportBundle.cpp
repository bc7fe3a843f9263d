#include "SupportBundle.h"

#include "network/Network.h"
#include "network/TarrowindFirmware.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QSaveFile>
#include <QSysInfo>

#include <zip.h>

#include <list>
#include <memory>
#include <utility>

const char *const SupportBundle::kRunLogEntry = "runlog.txt";
const char *const SupportBundle::kRepairLogEntry = "ftdi-fix.txt";
const char *const SupportBundle::kSettingsEntry = "settings.json";
const char *const SupportBundle::kPortsEntry = "ports.json";
const char *const SupportBundle::kLoggerEntry = "logger.json";
const char *const SupportBundle::kTrafficEntry = "serial-traffic.txt";
const char *const SupportBundle::kSummaryEntry = "bundle.json";

namespace {
template <typename E> QString keyOf(E value)
{
    const char *key = QMetaEnum::fromType<E>().valueToKey(int(value));
    return key ? QString::fromLatin1(key) : QString::number(int(value));
}

QByteArray json(const QVariantMap &map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Indented);
}

// Builds the archive in memory, so nothing reaches the disk before it is complete.
class ZipBuilder
{
public:
    ZipBuilder()
    {
        zip_error_init(&m_error);
        m_source = zip_source_buffer_create(nullptr, 0, 0, &m_error);
        if (!m_source)
            return;
        m_zip = zip_open_from_source(m_source, ZIP_TRUNCATE, &m_error);
        if (!m_zip) {
            zip_source_free(m_source);
            m_source = nullptr;
            return;
        }
        // Kept past zip_close so the finished archive can be read out of it.
        zip_source_keep(m_source);
    }
    ~ZipBuilder()
    {
        if (m_zip)
            zip_discard(m_zip);
        if (m_source)
            zip_source_free(m_source);
        zip_error_fini(&m_error);
    }
    ZipBuilder(const ZipBuilder &) = delete;
    ZipBuilder &operator=(const ZipBuilder &) = delete;

    bool ok() const { return m_zip != nullptr; }
    QString errorText() { return QString::fromUtf8(zip_error_strerror(&m_error)); }

    bool add(const char *name, QByteArray data)
    {
        // libzip reads the bytes at zip_close: they must live until then.
        m_data.push_back(std::move(data));
        const QByteArray &kept = m_data.back();
        zip_source_t *source = zip_source_buffer(m_zip, kept.constData(), zip_uint64_t(kept.size()), 0);
        if (!source) {
            zip_error_set(&m_error, zip_error_code_zip(zip_get_error(m_zip)), 0);
            return false;
        }
        if (zip_file_add(m_zip, name, source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            zip_error_set(&m_error, zip_error_code_zip(zip_get_error(m_zip)), 0);
            return false;
        }
        return true;
    }

    bool finish(QByteArray *archive)
    {
        if (zip_close(m_zip) < 0) {
            zip_error_set(&m_error, zip_error_code_zip(zip_get_error(m_zip)), 0);
            return false;
        }
        m_zip = nullptr;
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_source_stat(m_source, &st) < 0 || !(st.valid & ZIP_STAT_SIZE) || zip_source_open(m_source) < 0) {
            zip_error_set(&m_error, ZIP_ER_READ, 0);
            return false;
        }
        archive->resize(int(st.size));
        const zip_int64_t got = zip_source_read(m_source, archive->data(), st.size);
        zip_source_close(m_source);
        if (got != zip_int64_t(st.size)) {
            zip_error_set(&m_error, ZIP_ER_READ, 0);
            return false;
        }
        return true;
    }

private:
    zip_error_t m_error;
    zip_source_t *m_source = nullptr;
    zip_t *m_zip = nullptr;
    std::list<QByteArray> m_data;
};

// A log that is not there is left out; one that is there but cannot be read is named with the
// reason, since that tells us something too.
enum class LogState { Absent, Unreadable, Read };

LogState readLog(const QString &path, QByteArray *data, QString *reason)
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return LogState::Absent;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = file.errorString();
        return LogState::Unreadable;
    }
    *data = SupportBundle::logTail(file, SupportBundle::kLogCapBytes);
    if (file.error() != QFileDevice::NoError) {
        *reason = file.errorString();
        return LogState::Unreadable;
    }
    return LogState::Read;
}

}  // namespace

QByteArray SupportBundle::logTail(QFile &file, qint64 cap)
{
    const qint64 size = file.size();
    if (size <= cap)
        return file.readAll();
    if (!file.seek(size - cap))
        return QByteArray();
    QByteArray tail = file.read(cap);
    // Start at a whole line: the first one would be a fragment.
    const int firstLineEnd = tail.indexOf('\n');
    if (firstLineEnd >= 0 && firstLineEnd + 1 < tail.size())
        tail.remove(0, firstLineEnd + 1);
    return QStringLiteral("[This log was cut: its first %1 bytes are left out, the last %2 bytes follow.]\n")
               .arg(size - tail.size())
               .arg(tail.size())
               .toLatin1() +
           tail;
}

SupportBundle::Contents SupportBundle::gatherCommon(const QString &applicationDataFolder)
{
    Contents c;
    c.runLogPath = applicationDataFolder + QStringLiteral("/runlog.txt");
    c.repairLogPath = applicationDataFolder + QStringLiteral("/ftdi-fix.txt");
    c.traffic = SerialTrafficRing::instance().snapshot();
    c.programVersion = QCoreApplication::applicationVersion();
    c.createdNs = SerialTrafficRing::nowNs();
    return c;
}

QVariantMap SupportBundle::loggerSnapshot(const TarrowindFirmware *fw)
{
    QVariantMap m;
    if (!fw || fw->connectionState() != TarrowindFirmware::ConnectionState_Ready)
        return m;
    m[QStringLiteral("serverType")] = keyOf(fw->serverType());
    m[QStringLiteral("model")] = keyOf(fw->modelType());
    m[QStringLiteral("modelRevision")] = int(fw->modelRevision());
    m[QStringLiteral("version")] =
        QStringLiteral("%1.%2.%3").arg(fw->majorVersion()).arg(fw->minorVersion()).arg(fw->patchLevelVersion());
    m[QStringLiteral("firmwareOutdated")] = fw->firmwareOutdated();
    m[QStringLiteral("uniqueId")] = fw->uniqueId();
    m[QStringLiteral("buildType")] = fw->buildType();
    m[QStringLiteral("deviceName")] = fw->deviceName();
    const QVariantList permanents = fw->permanents256();
    const int serialIndex = int(Network::PermanentName256::SerialNumber);
    if (serialIndex < permanents.size())
        m[QStringLiteral("serialNumber")] = fw->qmlToString(permanents[serialIndex].value<Network::uint256_t>());
    if (fw->dateTime().isValid())
        m[QStringLiteral("clock")] = fw->dateTime().toUTC().toString(Qt::ISODateWithMs);
    m[QStringLiteral("skewMs")] = double(fw->skewMs());
    QVariantMap stats;
    const QVariantMap raw = fw->stats();
    for (auto it = raw.cbegin(); it != raw.cend(); ++it)
        stats[it.key()] = double(it.value().toLongLong());
    m[QStringLiteral("stats")] = stats;
    return m;
}

bool SupportBundle::write(const QString &path, const Contents &c, QString *error)
{
    ZipBuilder zip;
    if (!zip.ok()) {
        *error = QStringLiteral("could not start the archive: %1").arg(zip.errorText());
        return false;
    }
    QStringList included;
    QStringList absent;
    auto add = [&](const char *name, QByteArray data) {
        included << QString::fromLatin1(name);
        return zip.add(name, std::move(data));
    };

    bool ok = true;
    QVariantMap unreadable;
    for (const auto &[name, path] :
         {std::pair{kRunLogEntry, c.runLogPath}, std::pair{kRepairLogEntry, c.repairLogPath}}) {
        QByteArray data;
        QString reason;
        switch (readLog(path, &data, &reason)) {
        case LogState::Read:
            ok = ok && add(name, data);
            break;
        case LogState::Unreadable:
            unreadable[QString::fromLatin1(name)] = reason;
            break;
        case LogState::Absent:
            absent << QString::fromLatin1(name);
            break;
        }
    }
    if (!c.settingsJson.isEmpty())
        ok = ok && add(kSettingsEntry, c.settingsJson);
    else
        absent << QString::fromLatin1(kSettingsEntry);
    ok = ok && add(kPortsEntry, json(c.ports));
    if (!c.logger.isEmpty())
        ok = ok && add(kLoggerEntry, json(c.logger));
    else
        absent << QString::fromLatin1(kLoggerEntry);
    ok = ok && add(kTrafficEntry, SerialTrafficRing::formatHex(c.traffic));

    QVariantMap summary;
    summary[QStringLiteral("program")] = QStringLiteral("Tarrowind Utility");
    summary[QStringLiteral("version")] = c.programVersion;
    summary[QStringLiteral("created")] = QString::fromLatin1(SerialTrafficRing::utcStamp(c.createdNs));
    summary[QStringLiteral("platform")] = QSysInfo::prettyProductName();
    summary[QStringLiteral("trafficChunks")] = double(c.traffic.size());
    summary[QStringLiteral("included")] = included;
    summary[QStringLiteral("absent")] = absent;
    summary[QStringLiteral("unreadable")] = unreadable;
    ok = ok && zip.add(kSummaryEntry, json(summary));

    QByteArray archive;
    if (!ok || !zip.finish(&archive)) {
        *error = QStringLiteral("could not build the archive: %1").arg(zip.errorText());
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(archive) != archive.size() || !file.commit()) {
        *error = QStringLiteral("could not write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
