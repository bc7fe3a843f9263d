#pragma once

#include "TarrowindFirmware.h"
#include "VariablesBackupFile.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <set>

// Saves every persistent variable of the connected logger, with the logger's identity, to a
// file, and puts such a file back onto a logger: it writes each variable, reads them all
// back to confirm the logger holds them, and then has the logger save them (as "Commit
// Persistents" does), so that they outlive a power cycle.
//
// A restore reads and keeps the logger's current values before its first write. Should the
// logger refuse a write or the save, or not keep a value, the queued writes are abandoned and
// the kept values are written back, so a failed restore never leaves a mix of old and new
// values behind; when the logger is gone, the result names the values that may have changed.
//
// A restore checks everything before its first write: the file must be a complete backup
// this program can read (every variable known, every value one the variable can hold) and
// it must come from a logger of the connected logger's model; otherwise it is refused and
// the logger is not touched. A backup from another logger of the same model (or from other
// firmware) is restored: that is how settings move to a replacement logger or across a
// firmware update.
//
// Asynchronous: it runs on the protocol client's signals in the client's thread, and reads
// and writes the file in the global thread pool, so the caller never waits. One operation at
// a time; its end is reported by `status`, `resultText` and `finished`.
class VariablesBackup : public QObject
{
    Q_OBJECT
    Q_PROPERTY(TarrowindFirmware *firmware READ firmware WRITE setFirmware NOTIFY firmwareChanged)
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY statusChanged)
    Q_PROPERTY(QString resultText READ resultText NOTIFY statusChanged)
    Q_PROPERTY(QString fileName READ fileName NOTIFY statusChanged)

public:
    enum Status {
        Status_Idle = 0,
        Status_Busy = 1,
        Status_Succeeded = 2,
        // The file or the logger does not fit; nothing was written to the logger.
        Status_Refused = 3,
        // The file could not be read or written, or the logger stopped answering.
        Status_Failed = 4,
    };
    Q_ENUM(Status)

    explicit VariablesBackup(QObject *parent = nullptr);
    ~VariablesBackup() override;

    TarrowindFirmware *firmware() const { return m_firmware; }
    Status status() const { return m_status; }
    bool busy() const { return m_status == Status_Busy; }
    QString resultText() const { return m_resultText; }
    // The file of the last operation (a local path).
    QString fileName() const { return m_fileName; }

public slots:
    void setFirmware(TarrowindFirmware *firmware);
    // Start an operation on `file` (a local path or a file URL). False when one is running
    // already; every other outcome, also an immediate refusal, ends with `finished`.
    bool beginBackup(const QString &file);
    bool beginRestore(const QString &file);

signals:
    void firmwareChanged();
    void statusChanged(VariablesBackup::Status status);
    void finished(bool success, QString resultText);

private:
    enum class Step {
        None,
        Reading,
        WritingFile,
        ReadingFile,
        ReadingCurrent,
        Writing,
        ReadingBack,
        Saving,
        RollingBack
    };

    void onPacketFinished(uint16_t requestId, TarrowindFirmware::PacketOutcome outcome);
    void onResultErrorCode(uint16_t requestId, uint16_t errorCode);
    void onConnectionStateChanged();
    void stepDone();
    bool ready() const;
    // Runs `sends` (which track their requests) as one step: the step is done once every
    // request it sent has been answered, however early the answers come.
    void sendStep(Step step, const std::function<bool()> &sends);
    // `what`: the variable (or "save") the request is about, for the messages.
    bool track(uint16_t requestId, const QString &what = QString());
    bool sendReads();
    bool sendWrites(const VariablesBackupFile &values, const VariablesBackupFile *unlessEqualTo);
    void requestFailed();
    void requestRefused(const QString &what, uint16_t errorCode);
    // Ends a restore that failed after its first write because of `why`.
    void rollBack(const QString &why);
    void cancelPending();
    QStringList changedByRestore() const;
    VariablesBackupFile heldValues() const;
    void backupRead();
    void fileWritten(quint64 operation, const QString &error);
    void fileRead(quint64 operation, const QByteArray &data, const QString &error);
    void confirmRestore();
    void finish(Status status, const QString &text);
    QString serialNumber() const;
    QString loggerName() const;

    QPointer<TarrowindFirmware> m_firmware;
    QMetaObject::Connection m_connections[4];
    Status m_status = Status_Idle;
    QString m_resultText;
    QString m_fileName;
    Step m_step = Step::None;
    // Numbers the operations, so a file result of an abandoned one is ignored.
    quint64 m_operation = 0;
    std::set<uint16_t> m_pending;
    // Requests that ended while their step was still sending (before they were tracked).
    std::map<uint16_t, TarrowindFirmware::PacketOutcome> m_endedEarly;
    bool m_sending = false;
    // What each tracked request is about, and the error codes the logger answered with.
    std::map<uint16_t, QString> m_subjects;
    std::map<uint16_t, uint16_t> m_errorCodes;
    VariablesBackupFile m_file;
    // The logger's values before the restore's first write.
    VariablesBackupFile m_before;
    QString m_rollBackReason;
};
