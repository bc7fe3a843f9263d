#include "RemoteFilesystemSession.h"

RemoteFilesystemSession::RemoteFilesystemSession(uint32_t sessionIndex, uint32_t startAddress, uint32_t endAddress,
                                                 uint32_t filetype, uint64_t filesize, const QString &filename,
                                                 QObject *parent)
    : QObject(parent), m_sessionIndex(sessionIndex), m_startAddress(startAddress), m_endAddress(endAddress),
      m_filetype(filetype), m_filesize(filesize), m_filename(filename)
{
}

QString RemoteFilesystemSession::dateString() const
{
    auto format = [](const QDateTime &t) {
        return t.isNull() ? QStringLiteral("Unknown") : t.toString(QStringLiteral("MMM dd yyyy"));
    };
    const bool sameDate = (m_startTime.isNull() && m_endTime.isNull()) ||
                          (!m_startTime.isNull() && !m_endTime.isNull() && m_startTime.date() == m_endTime.date());
    if (sameDate)
        return format(m_startTime);
    return format(m_startTime) + QLatin1Char('-') + format(m_endTime);
}

void RemoteFilesystemSession::setStartTime(QDateTime startTime)
{
    if (startTime == m_startTime)
        return;
    m_startTime = startTime;
    emit startTimeChanged();
    emit dateStringChanged();
}

void RemoteFilesystemSession::setEndTime(QDateTime endTime)
{
    if (endTime == m_endTime)
        return;
    m_endTime = endTime;
    emit endTimeChanged();
    emit dateStringChanged();
}
