#pragma once

#include <cstdint>
#include <memory>
#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QString>

// One closed file on the logger's flash, found by a session scan. Shared between the worker
// that found it and the user interface that lists it; times arrive later from the time scan.
class RemoteFilesystemSession : public QObject, public std::enable_shared_from_this<RemoteFilesystemSession>
{
    Q_OBJECT
    Q_PROPERTY(uint32_t sessionIndex READ sessionIndex CONSTANT)
    Q_PROPERTY(uint32_t startAddress READ startAddress CONSTANT)
    Q_PROPERTY(uint32_t endAddress READ endAddress CONSTANT)
    Q_PROPERTY(uint32_t filetype READ filetype CONSTANT)
    Q_PROPERTY(uint64_t filesize READ filesize CONSTANT)
    Q_PROPERTY(QString filename READ filename CONSTANT)
    Q_PROPERTY(QDateTime startTime READ startTime WRITE setStartTime NOTIFY startTimeChanged)
    Q_PROPERTY(QDateTime endTime READ endTime WRITE setEndTime NOTIFY endTimeChanged)
    Q_PROPERTY(QString dateString READ dateString NOTIFY dateStringChanged)

public:
    RemoteFilesystemSession(uint32_t sessionIndex, uint32_t startAddress, uint32_t endAddress, uint32_t filetype,
                            uint64_t filesize, const QString &filename, QObject *parent = nullptr);

    uint32_t sessionIndex() const { return m_sessionIndex; }
    uint32_t startAddress() const { return m_startAddress; }
    uint32_t endAddress() const { return m_endAddress; }
    uint32_t filetype() const { return m_filetype; }
    uint64_t filesize() const { return m_filesize; }
    QString filename() const { return m_filename; }
    QDateTime startTime() const { return m_startTime; }
    QDateTime endTime() const { return m_endTime; }
    QString dateString() const;

public slots:
    void setStartTime(QDateTime startTime);
    void setEndTime(QDateTime endTime);

signals:
    void startTimeChanged();
    void endTimeChanged();
    void dateStringChanged();

private:
    const uint32_t m_sessionIndex;
    const uint32_t m_startAddress;
    const uint32_t m_endAddress;
    const uint32_t m_filetype;
    const uint64_t m_filesize;
    const QString m_filename;
    QDateTime m_startTime;
    QDateTime m_endTime;
};

using RemoteFilesystemSessionPtr = std::shared_ptr<RemoteFilesystemSession>;

Q_DECLARE_METATYPE(RemoteFilesystemSessionPtr)
Q_DECLARE_METATYPE(RemoteFilesystemSession *)
