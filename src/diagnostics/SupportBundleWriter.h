#pragma once

#include "network/TarrowindFirmware.h"

#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

// The user interface's "Save Support Bundle...": with a logger connected it first asks for fresh
// statistics (the exchange lands in the traffic capture too), then gathers the parts in the user
// interface thread (a snapshot of values, no I/O) and writes the zip in the global thread pool,
// so the window never waits for the disk. One save at a time.
class SupportBundleWriter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)

public:
    explicit SupportBundleWriter(QObject *parent = nullptr);
    ~SupportBundleWriter() override;

    bool busy() const { return m_busy; }

    // Starts writing `path` (a local path or a file URL); false when a save is running.
    // `ports` is the runtime's port map; `firmware` may be null or not connected.
    Q_INVOKABLE bool save(const QString &path, const QString &settingsJson, const QVariantMap &ports,
                          TarrowindFirmware *firmware);

signals:
    void busyChanged(bool busy);
    // `message` is the path written on success, the reason otherwise.
    void finished(bool success, const QString &message);

private:
    void onPacketFinished(uint16_t requestId, TarrowindFirmware::PacketOutcome outcome);
    void startWriting();
    void onWritten();

    QFutureWatcher<QString> m_watcher;
    QPointer<TarrowindFirmware> m_firmware;
    uint16_t m_statsRequest = 0;
    QString m_path;
    QByteArray m_settingsJson;
    QVariantMap m_ports;
    bool m_busy = false;
};
