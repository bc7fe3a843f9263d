#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class FirmwareMeta;
class QNetworkAccessManager;
class QNetworkReply;

// The maker's firmware archive: "firmware_meta.json" in the archive folder names the newest
// image (`meta.latest`), which is fetched from the same folder and checked as a firmware file.
// Everything that comes from the server is bounded: https only (plain http to loopback, for
// tests), redirects only within the same origin, the metadata and the image capped while they
// stream in, and a transfer that goes quiet for `stallTimeoutMs` is given up. The window and
// the command-line tool fetch through this class alike.
class FirmwareArchive : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString baseUrl READ baseUrl WRITE setBaseUrl NOTIFY baseUrlChanged)
    Q_PROPERTY(int stallTimeoutMs READ stallTimeoutMs WRITE setStallTimeoutMs NOTIFY stallTimeoutMsChanged)
    Q_PROPERTY(FirmwareMeta *firmwareMeta READ firmwareMeta WRITE setFirmwareMeta NOTIFY firmwareMetaChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(QString fileName READ fileName NOTIFY finished)

public:
    static constexpr qint64 kMetaLimit = 1024 * 1024;
    static constexpr qint64 kImageLimit = 16 * 1024 * 1024;
    static constexpr int kDefaultStallTimeoutMs = 30000;
    static const char *const kDefaultBaseUrl;
    static const char *const kMetaName;

    explicit FirmwareArchive(QObject *parent = nullptr);
    ~FirmwareArchive() override;

    // The archive used for a run: TW_FIRMWARE_ARCHIVE when set, else the stored setting when
    // not empty, else the maker's archive.
    Q_INVOKABLE static QString effectiveBaseUrl(const QString &setting);
    // The image named by a firmware_meta.json answer, or "" when it names none or a name that
    // is not a plain firmware file name.
    static QString latestFileName(const QByteArray &json);
    // Letters, digits, '.', '_' and '-', not starting with a dot, ending ".fw", and no reserved
    // device name of Windows whatever its extension.
    static bool isPlainFirmwareName(const QString &name);
    static QString loadStatusText(int loadStatus);

    QString baseUrl() const { return m_baseUrl; }
    void setBaseUrl(const QString &url);
    int stallTimeoutMs() const { return m_stallTimeoutMs; }
    void setStallTimeoutMs(int ms);
    // Where a fetched image is loaded; without one the archive keeps its own.
    FirmwareMeta *firmwareMeta() const;
    void setFirmwareMeta(FirmwareMeta *meta);
    bool busy() const { return m_reply != nullptr; }
    QString lastError() const { return m_lastError; }
    // The archive's name of the image last fetched with success.
    QString fileName() const { return m_fileName; }
    // The bytes of the image last fetched with success (the whole file, trailer included).
    QByteArray fileData() const { return m_fileData; }

public slots:
    // Starts a fetch of the newest image, dropping one in flight; `finished` follows.
    void fetchLatest();
    // Drops a fetch in flight without reporting it.
    void abort();

signals:
    void baseUrlChanged();
    void stallTimeoutMsChanged();
    void firmwareMetaChanged();
    void busyChanged();
    void lastErrorChanged();
    void progress(qint64 received, qint64 total);
    // Empty on success.
    void finished(const QString &errorString);

private:
    enum class Stage { Meta, Image };

    void get(const QString &name, Stage stage);
    void onRedirected(const QUrl &target);
    void onReadyRead();
    void onFinished();
    void onStalled();
    void onMetaReceived(const QByteArray &json);
    void onImageReceived(const QString &name, const QByteArray &data);
    void fail(const QString &error);
    void finish(const QString &error);
    void dropReply();
    QString prefix() const;
    qint64 limit() const { return m_stage == Stage::Meta ? kMetaLimit : kImageLimit; }

    QString m_baseUrl;
    int m_stallTimeoutMs = kDefaultStallTimeoutMs;
    QPointer<FirmwareMeta> m_target;
    FirmwareMeta *m_ownMeta = nullptr;
    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;
    Stage m_stage = Stage::Meta;
    QString m_pendingName;
    QByteArray m_received;
    QTimer m_stall;
    QString m_lastError;
    QString m_fileName;
    QByteArray m_fileData;
    quint64 m_fetches = 0;
};
