#include "VariablesBackup.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>
#include <QThreadPool>
#include <QUrl>

namespace {

using Network::uint256_t;

constexpr int kAllVariables = Network::kPersistent16Count + Network::kPersistent256Count;

struct FileContents {
    QByteArray data;
    QString error;
};

QString localPath(const QString &file)
{
    const QUrl url(file);
    return url.isLocalFile() ? url.toLocalFile() : file;
}

// Pool thread: the whole file, or why not.
FileContents readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {QByteArray(),
                QStringLiteral("Cannot open %1: %2").arg(QDir::toNativeSeparators(path), f.errorString())};
    if (f.size() > VariablesBackupFile::kMaxFileSize)
        return {QByteArray(),
                QStringLiteral("%1 is far too large to be a variables backup.").arg(QDir::toNativeSeparators(path))};
    FileContents c{f.readAll(), QString()};
    if (f.error() != QFileDevice::NoError)
        c.error = QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), f.errorString());
    return c;
}

// Pool thread: written beside the target and renamed over it when complete. Empty on success.
QString writeFile(const QString &path, const QByteArray &data)
{
    QSaveFile f(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !f.open(QIODevice::WriteOnly) ||
        f.write(data) != data.size() || !f.commit())
        return QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), f.errorString());
    return QString();
}

QString textOf(const uint256_t &value)
{
    const char *bytes = reinterpret_cast<const char *>(value.bytes);
    return QLatin1Char('"') + QString::fromUtf8(bytes, int(qstrnlen(bytes, sizeof value.bytes))) + QLatin1Char('"');
}

}  // namespace

VariablesBackup::VariablesBackup(QObject *parent) : QObject(parent) {}

VariablesBackup::~VariablesBackup() = default;

void VariablesBackup::setFirmware(TarrowindFirmware *firmware)
{
    if (m_firmware == firmware)
        return;
    if (busy())
        finish(Status_Failed, QStringLiteral("The logger connection was replaced before the operation ended."));
    for (auto &c : m_connections)
        disconnect(c);
    m_firmware = firmware;
    if (firmware) {
        m_connections[0] =
            connect(firmware, &TarrowindFirmware::packetFinished, this, &VariablesBackup::onPacketFinished);
        m_connections[1] = connect(firmware, &TarrowindFirmware::connectionStateChanged, this,
                                   &VariablesBackup::onConnectionStateChanged);
        m_connections[2] = connect(firmware, &QObject::destroyed, this, &VariablesBackup::onConnectionStateChanged);
        m_connections[3] =
            connect(firmware, &TarrowindFirmware::resultErrorCode, this, &VariablesBackup::onResultErrorCode);
    }
    emit firmwareChanged();
}

bool VariablesBackup::ready() const
{
    return m_firmware && m_firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready;
}

bool VariablesBackup::beginBackup(const QString &file)
{
    if (busy())
        return false;
    ++m_operation;
    m_fileName = localPath(file);
    m_status = Status_Busy;
    m_resultText.clear();
    emit statusChanged(m_status);
    if (m_fileName.isEmpty()) {
        finish(Status_Failed, QStringLiteral("No file was given for the backup."));
        return true;
    }
    if (!ready()) {
        finish(Status_Failed, QStringLiteral("No logger is connected: there are no variables to back up."));
        return true;
    }
    // Fresh values, not what the caches last heard: every persistent and the serial number.
    sendStep(Step::Reading, [this] {
        return sendReads() && track(m_firmware->sendReadPermanent256(Network::PermanentName256::SerialNumber),
                                    QStringLiteral("SerialNumber"));
    });
    return true;
}

bool VariablesBackup::beginRestore(const QString &file)
{
    if (busy())
        return false;
    const quint64 operation = ++m_operation;
    m_fileName = localPath(file);
    m_status = Status_Busy;
    m_resultText.clear();
    emit statusChanged(m_status);
    if (m_fileName.isEmpty()) {
        finish(Status_Failed, QStringLiteral("No file was given to restore."));
        return true;
    }
    if (!ready()) {
        finish(Status_Failed, QStringLiteral("No logger is connected: connect the logger to restore its variables."));
        return true;
    }
    m_step = Step::ReadingFile;
    auto *watcher = new QFutureWatcher<FileContents>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, operation] {
        const FileContents c = watcher->result();
        watcher->deleteLater();
        fileRead(operation, c.data, c.error);
    });
    const QString path = m_fileName;
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [path] { return readFile(path); }));
    return true;
}

void VariablesBackup::sendStep(Step step, const std::function<bool()> &sends)
{
    m_step = step;
    m_pending.clear();
    m_subjects.clear();
    m_sending = true;
    const bool sent = sends();
    m_sending = false;
    m_endedEarly.clear();
    if (sent && m_step == step && m_pending.empty())
        stepDone();
}

// Every persistent variable: the 16-bit ones in one request where the firmware has bulk reads.
bool VariablesBackup::sendReads()
{
    TarrowindFirmware &fw = *m_firmware;
    if (fw.patchLevelVersion() >= TarrowindFirmware::kBulkReadsPatchLevel) {
        if (!track(fw.sendReadPersistents16(Network::PersistentName16(0), Network::kPersistent16Count),
                   QStringLiteral("the 16-bit persistent variables")))
            return false;
    } else {
        for (int i = 0; i < Network::kPersistent16Count; ++i) {
            if (!track(fw.sendReadPersistent16(Network::PersistentName16(i)), VariablesBackupFile::name16(i)))
                return false;
        }
    }
    for (int i = 0; i < Network::kPersistent256Count; ++i) {
        if (!track(fw.sendReadPersistent256(Network::PersistentName256(i)), VariablesBackupFile::name256(i)))
            return false;
    }
    return true;
}

// Writes `values`; with `unlessEqualTo`, only those that differ from it.
bool VariablesBackup::sendWrites(const VariablesBackupFile &values, const VariablesBackupFile *unlessEqualTo)
{
    TarrowindFirmware &fw = *m_firmware;
    for (int i = 0; i < Network::kPersistent16Count; ++i) {
        if (unlessEqualTo && unlessEqualTo->persistents16[i] == values.persistents16[i])
            continue;
        if (!track(fw.sendWritePersistent16(Network::PersistentName16(i), values.persistents16[i]),
                   VariablesBackupFile::name16(i)))
            return false;
    }
    for (int i = 0; i < Network::kPersistent256Count; ++i) {
        if (unlessEqualTo && unlessEqualTo->persistents256[i] == values.persistents256[i])
            continue;
        if (!track(fw.sendWritePersistent256(Network::PersistentName256(i), values.persistents256[i]),
                   VariablesBackupFile::name256(i)))
            return false;
    }
    return true;
}

bool VariablesBackup::track(uint16_t requestId, const QString &what)
{
    if (m_step == Step::None)
        return false;  // something already ended the operation
    if (requestId == 0) {
        requestFailed();
        return false;
    }
    const auto early = m_endedEarly.find(requestId);
    if (early != m_endedEarly.end()) {
        const bool handled = early->second == TarrowindFirmware::PacketOutcome_Handled;
        m_endedEarly.erase(early);
        const auto code = m_errorCodes.find(requestId);
        if (!handled)
            requestFailed();
        else if (code != m_errorCodes.end())
            requestRefused(what, code->second);
        return handled && code == m_errorCodes.end();
    }
    m_pending.insert(requestId);
    m_subjects[requestId] = what;
    return true;
}

void VariablesBackup::onResultErrorCode(uint16_t requestId, uint16_t errorCode)
{
    if (m_step != Step::None)
        m_errorCodes[requestId] = errorCode;
}

void VariablesBackup::onPacketFinished(uint16_t requestId, TarrowindFirmware::PacketOutcome outcome)
{
    if (m_step == Step::None)
        return;
    if (m_sending && m_pending.count(requestId) == 0) {
        m_endedEarly[requestId] = outcome;
        return;
    }
    if (m_pending.erase(requestId) == 0)
        return;
    if (outcome != TarrowindFirmware::PacketOutcome_Handled) {
        requestFailed();
        return;
    }
    const auto code = m_errorCodes.find(requestId);
    if (code != m_errorCodes.end()) {
        requestRefused(m_subjects[requestId], code->second);
        return;
    }
    if (m_pending.empty() && !m_sending)
        stepDone();
}

void VariablesBackup::requestFailed()
{
    switch (m_step) {
    case Step::Reading:
        finish(Status_Failed,
               QStringLiteral("The logger did not answer while its variables were read; no backup was written."));
        break;
    case Step::ReadingCurrent:
        finish(Status_Failed, QStringLiteral("The logger did not answer while its variables were read before the "
                                             "restore; nothing was changed on the logger."));
        break;
    case Step::Writing:
    case Step::ReadingBack:
    case Step::RollingBack:
        rollBack(QStringLiteral("the logger did not answer during the restore"));
        break;
    case Step::Saving:
        // The save may have happened with only its answer lost: writing the earlier values back
        // would leave them differing from what the logger keeps.
        finish(Status_Failed,
               QStringLiteral("The logger did not answer the save; the variables may not have been saved."));
        break;
    default:
        break;
    }
}

void VariablesBackup::requestRefused(const QString &what, uint16_t errorCode)
{
    switch (m_step) {
    case Step::Reading:
        finish(Status_Failed, QStringLiteral("The logger answered the read of %1 with error %2; no backup was written.")
                                  .arg(what)
                                  .arg(errorCode));
        break;
    case Step::ReadingCurrent:
        finish(Status_Failed, QStringLiteral("The logger answered the read of %1 with error %2; nothing was changed "
                                             "on the logger.")
                                  .arg(what)
                                  .arg(errorCode));
        break;
    case Step::Writing:
    case Step::RollingBack:
        rollBack(QStringLiteral("the logger refused %1 (error %2)").arg(what).arg(errorCode));
        break;
    case Step::ReadingBack:
        rollBack(QStringLiteral("the logger answered the read of %1 with error %2").arg(what).arg(errorCode));
        break;
    case Step::Saving:
        rollBack(QStringLiteral("the logger refused to save (error %1)").arg(errorCode));
        break;
    default:
        break;
    }
}

// The restore's requests still waiting are given up, so no late resend lands after the values
// written back.
void VariablesBackup::cancelPending()
{
    const std::set<uint16_t> pending = std::move(m_pending);
    m_pending.clear();
    if (m_firmware) {
        for (uint16_t id : pending)
            m_firmware->cancelRequest(id);
    }
}

QStringList VariablesBackup::changedByRestore() const
{
    QStringList names;
    for (int i = 0; i < Network::kPersistent16Count; ++i) {
        if (m_before.persistents16[i] != m_file.persistents16[i])
            names << VariablesBackupFile::name16(i);
    }
    for (int i = 0; i < Network::kPersistent256Count; ++i) {
        if (m_before.persistents256[i] != m_file.persistents256[i])
            names << VariablesBackupFile::name256(i);
    }
    return names;
}

void VariablesBackup::rollBack(const QString &why)
{
    const bool again = m_step == Step::RollingBack;
    cancelPending();
    if (!again)
        m_rollBackReason = QStringLiteral("Restore failed: ") + why;
    const QStringList changed = changedByRestore();
    if (changed.isEmpty()) {
        finish(Status_Failed, m_rollBackReason + QStringLiteral("; its values are as before the restore."));
        return;
    }
    if (again || !ready()) {
        // Nothing was saved: the logger's own store still holds what it held before.
        finish(Status_Failed, m_rollBackReason + QStringLiteral("; the logger could not be given back its earlier "
                                                                "values, so %1 may have changed. A restart of the "
                                                                "logger brings back its last saved values.")
                                                     .arg(changed.join(QStringLiteral(", "))));
        return;
    }
    sendStep(Step::RollingBack, [this] { return sendWrites(m_before, &m_file); });
}

void VariablesBackup::onConnectionStateChanged()
{
    // Requests in flight end as Cancelled or Expired as well; this covers a logger that goes
    // (or is replaced by another) between two requests.
    if (!ready())
        requestFailed();
}

void VariablesBackup::stepDone()
{
    switch (m_step) {
    case Step::Reading:
        backupRead();
        break;
    case Step::ReadingCurrent:
        m_before = heldValues();
        sendStep(Step::Writing, [this] { return sendWrites(m_file, nullptr); });
        break;
    case Step::Writing:
        sendStep(Step::ReadingBack, [this] { return sendReads(); });
        break;
    case Step::RollingBack:
        finish(Status_Failed, m_rollBackReason + QStringLiteral("; its values are as before the restore."));
        break;
    case Step::ReadingBack:
        confirmRestore();
        break;
    case Step::Saving:
        finish(Status_Succeeded,
               QStringLiteral("Restored the %1 persistent variables from %2 onto logger %3 and saved them%4.")
                   .arg(kAllVariables)
                   .arg(QDir::toNativeSeparators(m_fileName), loggerName(),
                        m_file.identity.serialNumber.isEmpty() || m_file.identity.serialNumber == serialNumber()
                            ? QString()
                            : QStringLiteral(" (backed up from logger #%1)").arg(m_file.identity.serialNumber)));
        break;
    default:
        break;
    }
}

QString VariablesBackup::serialNumber() const
{
    if (!m_firmware)
        return QString();
    const QVariantList permanents = m_firmware->permanents256();
    const int index = int(Network::PermanentName256::SerialNumber);
    return index < permanents.size() ? m_firmware->qmlToString(permanents[index].value<uint256_t>()) : QString();
}

QString VariablesBackup::loggerName() const
{
    const QString serial = serialNumber();
    if (!serial.isEmpty())
        return QLatin1Char('#') + serial;
    return m_firmware ? QStringLiteral("with unique ID %1").arg(m_firmware->uniqueId()) : QString();
}

// The persistent variables as the client last read them.
VariablesBackupFile VariablesBackup::heldValues() const
{
    VariablesBackupFile file;
    const QVariantList numbers = m_firmware->persistents16();
    for (int i = 0; i < Network::kPersistent16Count && i < numbers.size(); ++i)
        file.persistents16[i] = uint16_t(numbers[i].toUInt());
    const QVariantList texts = m_firmware->persistents256();
    for (int i = 0; i < Network::kPersistent256Count && i < texts.size(); ++i)
        file.persistents256[i] = texts[i].value<uint256_t>();
    return file;
}

void VariablesBackup::backupRead()
{
    TarrowindFirmware &fw = *m_firmware;
    VariablesBackupFile file = heldValues();
    file.identity.serialNumber = serialNumber();
    file.identity.uniqueId = fw.uniqueId();
    file.identity.model = VariablesBackupFile::modelKey(fw.modelType());
    file.identity.modelRevision = fw.modelRevision();
    file.identity.majorVersion = fw.majorVersion();
    file.identity.minorVersion = fw.minorVersion();
    file.identity.patchLevelVersion = fw.patchLevelVersion();
    file.identity.buildType = fw.buildType();
    file.savedAt = QDateTime::currentDateTimeUtc();
    m_file = file;

    m_step = Step::WritingFile;
    const quint64 operation = m_operation;
    auto *watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, operation] {
        const QString error = watcher->result();
        watcher->deleteLater();
        fileWritten(operation, error);
    });
    const QString path = m_fileName;
    const QByteArray json = file.toJson();
    watcher->setFuture(
        QtConcurrent::run(QThreadPool::globalInstance(), [path, json] { return writeFile(path, json); }));
}

void VariablesBackup::fileWritten(quint64 operation, const QString &error)
{
    if (operation != m_operation || m_step != Step::WritingFile)
        return;
    if (!error.isEmpty()) {
        finish(Status_Failed, error);
        return;
    }
    finish(Status_Succeeded, QStringLiteral("Saved the %1 persistent variables of logger %2 to %3.")
                                 .arg(kAllVariables)
                                 .arg(loggerName(), QDir::toNativeSeparators(m_fileName)));
}

void VariablesBackup::fileRead(quint64 operation, const QByteArray &data, const QString &error)
{
    if (operation != m_operation || m_step != Step::ReadingFile)
        return;
    const QString nothing = QStringLiteral(" Nothing was changed on the logger.");
    if (!error.isEmpty()) {
        finish(Status_Failed, error + nothing);
        return;
    }
    VariablesBackupFile file;
    QString reason;
    if (!VariablesBackupFile::fromJson(data, &file, &reason)) {
        finish(Status_Refused,
               QStringLiteral("Cannot restore %1: %2").arg(QDir::toNativeSeparators(m_fileName), reason) + nothing);
        return;
    }
    // The logger may have gone while the file was read.
    if (!ready()) {
        finish(Status_Failed, QStringLiteral("No logger is connected: connect the logger to restore its variables."));
        return;
    }
    const QString model = VariablesBackupFile::modelKey(m_firmware->modelType());
    if (file.identity.model != model) {
        finish(Status_Refused,
               QStringLiteral("Cannot restore %1: it was made on a logger of model %2, and the connected logger is "
                              "of model %3.")
                       .arg(QDir::toNativeSeparators(m_fileName), file.identity.model, model) +
                   nothing);
        return;
    }
    m_file = file;
    // Fresh values to fall back on, should the restore fail after its first write.
    sendStep(Step::ReadingCurrent, [this] { return sendReads(); });
}

// What the logger holds now must be what the file holds before anything is saved.
void VariablesBackup::confirmRestore()
{
    const QVariantList numbers = m_firmware->persistents16();
    const QVariantList texts = m_firmware->persistents256();
    QString mismatch;
    for (int i = 0; i < Network::kPersistent16Count && mismatch.isEmpty(); ++i) {
        const uint16_t held = i < numbers.size() ? uint16_t(numbers[i].toUInt()) : 0;
        if (held != m_file.persistents16[i])
            mismatch = QStringLiteral("%1 (wrote %2, reads %3)")
                           .arg(VariablesBackupFile::name16(i))
                           .arg(m_file.persistents16[i])
                           .arg(held);
    }
    for (int i = 0; i < Network::kPersistent256Count && mismatch.isEmpty(); ++i) {
        const uint256_t held = i < texts.size() ? texts[i].value<uint256_t>() : uint256_t();
        if (held != m_file.persistents256[i])
            mismatch = QStringLiteral("%1 (wrote %2, reads %3)")
                           .arg(VariablesBackupFile::name256(i), textOf(m_file.persistents256[i]), textOf(held));
    }
    if (!mismatch.isEmpty()) {
        rollBack(QStringLiteral("the logger did not keep %1").arg(mismatch));
        return;
    }
    sendStep(Step::Saving, [this] { return track(m_firmware->sendSavePersistents(), QStringLiteral("save")); });
}

void VariablesBackup::finish(Status status, const QString &text)
{
    m_step = Step::None;
    m_pending.clear();
    m_endedEarly.clear();
    m_subjects.clear();
    m_errorCodes.clear();
    m_status = status;
    m_resultText = text;
    if (status == Status_Succeeded)
        qInfo().noquote() << "Variables backup:" << text;
    else
        qWarning().noquote() << "Variables backup:" << text;
    emit statusChanged(status);
    emit finished(status == Status_Succeeded, text);
}
