#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QVariantMap>

class TarrowindFirmware;

// The user interface's "Save Support Bundle...": gathers the parts in the user interface
// thread (a snapshot of values, no I/O) and writes the zip in the global thread pool, so the
// window never waits for the disk. One save at a time.
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
    void onWritten();

    QFutureWatcher<QString> m_watcher;
    QString m_path;
    bool m_busy = false;
};
