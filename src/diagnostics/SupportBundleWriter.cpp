#include "SupportBundleWriter.h"

#include "network/TarrowindFirmware.h"
#include "SupportBundle.h"

#include <QDebug>
#include <QStandardPaths>
#include <QtConcurrent>
#include <QUrl>

SupportBundleWriter::SupportBundleWriter(QObject *parent) : QObject(parent)
{
    connect(&m_watcher, &QFutureWatcher<QString>::finished, this, &SupportBundleWriter::onWritten);
}

SupportBundleWriter::~SupportBundleWriter()
{
    // The task only touches its own copies, but the result would be lost with the watcher.
    m_watcher.waitForFinished();
}

bool SupportBundleWriter::save(const QString &path, const QString &settingsJson, const QVariantMap &ports,
                               TarrowindFirmware *firmware)
{
    if (m_busy)
        return false;
    const QUrl url(path);
    m_path = url.isLocalFile() ? url.toLocalFile() : path;
    m_settingsJson = settingsJson.toUtf8();
    m_ports = ports;
    m_firmware = firmware;
    m_busy = true;
    emit busyChanged(true);

    // Every request ends with one packetFinished (answered, expired or cancelled), so the save
    // always goes on.
    if (firmware && firmware->connectionState() == TarrowindFirmware::ConnectionState_Ready) {
        connect(firmware, &TarrowindFirmware::packetFinished, this, &SupportBundleWriter::onPacketFinished,
                Qt::UniqueConnection);
        m_statsRequest = firmware->sendGetStats();
        if (m_statsRequest != 0)
            return true;
    }
    startWriting();
    return true;
}

void SupportBundleWriter::onPacketFinished(uint16_t requestId, TarrowindFirmware::PacketOutcome)
{
    if (m_statsRequest == 0 || requestId != m_statsRequest)
        return;
    m_statsRequest = 0;
    if (m_firmware)
        disconnect(m_firmware, &TarrowindFirmware::packetFinished, this, &SupportBundleWriter::onPacketFinished);
    startWriting();
}

void SupportBundleWriter::startWriting()
{
    SupportBundle::Contents contents =
        SupportBundle::gatherCommon(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    contents.settingsJson = m_settingsJson;
    contents.ports = m_ports;
    contents.logger = SupportBundle::loggerSnapshot(m_firmware.data());

    const QString target = m_path;
    m_watcher.setFuture(QtConcurrent::run([target, contents] {
        QString error;
        return SupportBundle::write(target, contents, &error) ? QString() : error;
    }));
}

void SupportBundleWriter::onWritten()
{
    const QString error = m_watcher.result();
    m_busy = false;
    emit busyChanged(false);
    if (error.isEmpty()) {
        qDebug().noquote() << "Support bundle saved to" << m_path;
        emit finished(true, m_path);
    } else {
        qWarning().noquote() << "Support bundle failed:" << error;
        emit finished(false, error);
    }
}
