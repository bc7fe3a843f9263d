#pragma once

#include <QElapsedTimer>
#include <QFuture>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <future>
#include <optional>

// The user interface's window onto the host: file-name and URL helpers, clipboard, external
// commands, locale-independent number formatting, a monotonic clock, the machine's serial ports
// and the two adapter repairs. Everything is synchronous except the port enumeration, which runs
// one job at a time in the global thread pool.
class Runtime : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isMobile READ isMobile CONSTANT)
    Q_PROPERTY(bool isFactoryBuild READ isFactoryBuild CONSTANT)
    Q_PROPERTY(bool enumeratingSerialPorts READ enumeratingSerialPorts NOTIFY enumeratingSerialPortsChanged)
    Q_PROPERTY(QVariantMap serialPorts READ serialPorts NOTIFY serialPortsChanged)

public:
    // Produces the port map; runs in a pool thread.
    using PortEnumerator = std::function<QVariantMap()>;

    explicit Runtime(QObject *parent = nullptr);
    // Tests hand in their own enumeration.
    Runtime(PortEnumerator enumerator, QObject *parent);
    ~Runtime() override;

    bool enumeratingSerialPorts() const { return m_job.has_value(); }
    QVariantMap serialPorts() const { return m_serialPorts; }

    // Returns `originalName` when free, else the first free "name(n).suffix" for n = 2..998,
    // else an empty string: the caller must not save.
    Q_INVOKABLE QString findUnusedFileName(const QString &originalName) const;
    Q_INVOKABLE void enumerateSerialPorts();
    Q_INVOKABLE QString replaceDotExt(const QString &file, const QString &replacement) const;
    Q_INVOKABLE QString pathFromFile(const QString &file) const;
    Q_INVOKABLE QString filenameFromFile(const QString &fullFilePath) const;
    Q_INVOKABLE QString urlFromLocalFile(const QString &file) const;
    Q_INVOKABLE QString urlToLocalFile(const QString &url) const;
    Q_INVOKABLE QString parentFolder(const QString &file) const;
    Q_INVOKABLE QString parentFolderIfFile(const QString &file) const;
    Q_INVOKABLE double secondsSinceStart() const;
    Q_INVOKABLE bool isMobile() const { return false; }
    Q_INVOKABLE bool isFactoryBuild() const { return false; }
    Q_INVOKABLE QString localeFormatInteger(qint64 value) const;
    Q_INVOKABLE QString localeFormatDouble(double value, int precision) const;
    Q_INVOKABLE QString defaultLogFolder() const;
    Q_INVOKABLE QString defaultFlashFolder() const;
    Q_INVOKABLE QString loadFileAsString(const QString &url) const;
    Q_INVOKABLE bool requestReadPermissions() const { return true; }
    Q_INVOKABLE bool requestWritePermissions() const { return true; }
    Q_INVOKABLE void setClipboard(const QString &text) const;
    // Exit code of the program; -1 when it did not start, crashed or was still running after
    // 30 s (a code of 0 would read as success).
    Q_INVOKABLE int executeSystemCommand(const QString &command) const;
    Q_INVOKABLE bool fireAndForgetSystemCommand(const QString &command) const;
    Q_INVOKABLE bool updateEeprom(const QString &portName, const QString &serialNumber);
    Q_INVOKABLE bool elevatedFtdiFix(const QString &elevatedFixPath);
    // Where the elevated repair's account of itself is kept.
    Q_INVOKABLE QString repairLogPath() const;

signals:
    void enumeratingSerialPortsChanged(bool enumeratingSerialPorts);
    void serialPortsChanged();

private slots:
    void serialPortEnumerationFinished(QVariantMap serialPorts);

private:
    PortEnumerator m_enumerator;
    QElapsedTimer m_clock;
    void waitForJob();

    std::optional<QFuture<void>> m_job;
    // Set by the job after its last use of this object. A standard future, so that thread
    // checkers see the hand-over that Qt's own future makes inside the Qt library.
    std::future<void> m_jobDone;
    QVariantMap m_serialPorts;
};
