#include "SupportBundleWriter.h"

#include "SupportBundle.h"
#include "TarrowindFirmware.h"

#include <QDebug>
#include <QStandardPaths>
#include <QUrl>
#include <QtConcurrent>

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

    SupportBundle::Contents contents =
        SupportBundle::gatherCommon(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    contents.settingsJson = settingsJson.toUtf8();
    contents.ports = ports;
    contents.logger = SupportBundle::loggerSnapshot(firmware);

    m_busy = true;
    emit busyChanged(true);
    const QString target = m_path;
    m_watcher.setFuture(QtConcurrent::run([target, contents] {
        QString error;
        return SupportBundle::write(target, contents, &error) ? QString() : error;
    }));
    return true;
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
