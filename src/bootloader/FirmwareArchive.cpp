#include "FirmwareArchive.h"

#include "FirmwareMeta.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

const char *const FirmwareArchive::kDefaultBaseUrl = "https://www.ombrellix.example/archive/firmware/";
const char *const FirmwareArchive::kMetaName = "firmware_meta.json";

namespace {
// Qt holds no more than this of an answer before we take it.
constexpr qint64 kReadBuffer = 64 * 1024;
constexpr int kMaxRedirects = 5;

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// https everywhere; plain http only to this machine, where a test stands in for the archive.
bool schemeAllowed(const QUrl &url)
{
    if (url.scheme() == QLatin1String("https"))
        return true;
    return url.scheme() == QLatin1String("http") && isLoopbackHost(url.host());
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    const int defaultPort = a.scheme() == QLatin1String("https") ? 443 : 80;
    return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           a.port(defaultPort) == b.port(defaultPort);
}

QString secondsText(int ms)
{
    return QString::number(ms / 1000.0, 'g', 3);
}
}  // namespace

FirmwareArchive::FirmwareArchive(QObject *parent) : QObject(parent), m_baseUrl(QLatin1String(kDefaultBaseUrl))
{
    m_stall.setSingleShot(true);
    connect(&m_stall, &QTimer::timeout, this, &FirmwareArchive::onStalled);
}

FirmwareArchive::~FirmwareArchive()
{
    dropReply();
}

QString FirmwareArchive::effectiveBaseUrl(const QString &setting)
{
    QString url = qEnvironmentVariable("TW_FIRMWARE_ARCHIVE").trimmed();
    if (url.isEmpty())
        url = setting.trimmed();
    if (url.isEmpty())
        url = QLatin1String(kDefaultBaseUrl);
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url;
}

QString FirmwareArchive::latestFileName(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    const QJsonValue latest = doc.object().value(QLatin1String("meta")).toObject().value(QLatin1String("latest"));
    if (!latest.isString())
        return QString();
    const QString name = latest.toString();
    return isPlainFirmwareName(name) ? name : QString();
}

bool FirmwareArchive::isPlainFirmwareName(const QString &name)
{
    // The name becomes a file in the user's folder and part of the image's address: only what
    // every file system and URL takes as it is, never hidden, never a Windows device ("CON.fw"
    // opens the console there whatever the extension).
    static const QRegularExpression plain(QStringLiteral("\\A[A-Za-z0-9_-][A-Za-z0-9._-]*\\.fw\\z"));
    static const QRegularExpression device(QStringLiteral("\\A(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\\.|\\z)"),
                                           QRegularExpression::CaseInsensitiveOption);
    return name.size() <= 255 && plain.match(name).hasMatch() && !device.match(name).hasMatch();
}

QString FirmwareArchive::loadStatusText(int loadStatus)
{
    switch (loadStatus) {
    case FirmwareMeta::LoadStatus_Success:
        return QString();
    case FirmwareMeta::LoadStatus_BadMetaHeader:
        return QStringLiteral("Firmware file error (Invalid or missing metadata)");
    case FirmwareMeta::LoadStatus_ChecksumFailure:
        return QStringLiteral("Firmware file error (Checksum failure)");
    default:
        return QStringLiteral("Firmware file error (Error opening/reading file)");
    }
}

void FirmwareArchive::setBaseUrl(const QString &url)
{
    if (url == m_baseUrl)
        return;
    m_baseUrl = url;
    emit baseUrlChanged();
}

void FirmwareArchive::setStallTimeoutMs(int ms)
{
    if (ms == m_stallTimeoutMs || ms <= 0)
        return;
    m_stallTimeoutMs = ms;
    emit stallTimeoutMsChanged();
}

FirmwareMeta *FirmwareArchive::firmwareMeta() const
{
    return m_target;
}

void FirmwareArchive::setFirmwareMeta(FirmwareMeta *meta)
{
    if (meta == m_target)
        return;
    m_target = meta;
    emit firmwareMetaChanged();
}

void FirmwareArchive::fetchLatest()
{
    qInfo("Trying to download latest firmware meta information...");
    ++m_fetches;
    dropReply();
    if (!m_lastError.isEmpty()) {
        m_lastError.clear();
        emit lastErrorChanged();
    }
    const QUrl base(m_baseUrl);
    if (!base.isValid() || !schemeAllowed(base)) {
        // Reported from the event loop, as every other outcome is.
        // (Unless another fetch or an abort came first.)
        const quint64 fetch = ++m_fetches;
        QMetaObject::invokeMethod(
            this,
            [this, fetch] {
                if (fetch == m_fetches)
                    finish(QStringLiteral("Meta download failure: the archive address is not https"));
            },
            Qt::QueuedConnection);
        return;
    }
    get(QLatin1String(kMetaName), Stage::Meta);
}

void FirmwareArchive::abort()
{
    ++m_fetches;
    dropReply();
}

void FirmwareArchive::get(const QString &name, Stage stage)
{
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    m_stage = stage;
    m_pendingName = name;
    m_received.clear();
    QNetworkRequest request(QUrl(m_baseUrl).resolved(QUrl(name)));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    // Always a fresh answer: the archive's "latest" changes under the same name.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    const bool wasBusy = busy();
    m_reply = m_network->get(request);
    m_reply->setReadBufferSize(kReadBuffer);
    connect(m_reply, &QNetworkReply::redirected, this, &FirmwareArchive::onRedirected);
    connect(m_reply, &QNetworkReply::readyRead, this, &FirmwareArchive::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &FirmwareArchive::onFinished);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > limit())
            onReadyRead();  // refuses before a byte is held
    });
    m_stall.start(m_stallTimeoutMs);
    if (!wasBusy)
        emit busyChanged();
}

QString FirmwareArchive::prefix() const
{
    return m_stage == Stage::Meta ? QStringLiteral("Meta download failure: ")
                                  : QStringLiteral("Firmware download failure: ");
}

void FirmwareArchive::onRedirected(const QUrl &target)
{
    if (!m_reply)
        return;
    if (!sameOrigin(m_reply->request().url(), target) || !schemeAllowed(target)) {
        fail(prefix() + QStringLiteral("redirect to another host refused"));
        return;
    }
    m_stall.start(m_stallTimeoutMs);
    emit m_reply->redirectAllowed();
}

void FirmwareArchive::onReadyRead()
{
    if (!m_reply)
        return;
    m_stall.start(m_stallTimeoutMs);
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 announced = length.isValid() ? length.toLongLong() : -1;
    if (announced > limit() || m_received.size() + m_reply->bytesAvailable() > limit()) {
        fail(prefix() + (m_stage == Stage::Meta ? QStringLiteral("metadata larger than 1 MiB")
                                                : QStringLiteral("image larger than 16 MiB")));
        return;
    }
    m_received += m_reply->readAll();
    if (m_stage == Stage::Image)
        emit progress(m_received.size(), announced);
}

void FirmwareArchive::onFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    onReadyRead();
    if (m_reply != reply)
        return;  // refused while the last bytes came in
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = reply->error();
    const Stage stage = m_stage;
    const QString name = m_pendingName;
    const QByteArray data = m_received;
    dropReply();
    if (status == 0 || (status == 200 && error != QNetworkReply::NoError)) {
        finish(QStringLiteral("HTTP failure, check internet connection"));
        return;
    }
    if (status != 200) {
        finish(QStringLiteral("Meta download failure: HTTP status %1").arg(status));
        return;
    }
    if (stage == Stage::Meta)
        onMetaReceived(data);
    else
        onImageReceived(name, data);
}

void FirmwareArchive::onStalled()
{
    if (m_reply)
        fail(prefix() + QStringLiteral("no data for %1 s").arg(secondsText(m_stallTimeoutMs)));
}

void FirmwareArchive::onMetaReceived(const QByteArray &json)
{
    const QString name = latestFileName(json);
    if (name.isEmpty()) {
        finish(QStringLiteral("Meta download failure: no firmware named in firmware_meta.json"));
        return;
    }
    get(name, Stage::Image);
}

void FirmwareArchive::onImageReceived(const QString &name, const QByteArray &data)
{
    FirmwareMeta *meta = m_target;
    if (!meta) {
        if (!m_ownMeta)
            m_ownMeta = new FirmwareMeta(this);
        meta = m_ownMeta;
    }
    meta->loadData(data);
    const QString error = loadStatusText(meta->loadStatus());
    if (error.isEmpty()) {
        m_fileName = name;
        m_fileData = data;
    }
    finish(error);
}

void FirmwareArchive::fail(const QString &error)
{
    dropReply();
    finish(error);
}

void FirmwareArchive::finish(const QString &error)
{
    if (!error.isEmpty())
        qInfo().noquote() << "Firmware download failed:" << error;
    if (error != m_lastError) {
        m_lastError = error;
        emit lastErrorChanged();
    }
    emit finished(error);
}

void FirmwareArchive::dropReply()
{
    m_stall.stop();
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    m_received.clear();
    emit busyChanged();
}
