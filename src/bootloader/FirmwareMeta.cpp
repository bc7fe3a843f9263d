#include "FirmwareMeta.h"

#include "BootloaderMetatypes.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QSaveFile>
#include <QUrl>

#include <cstring>

namespace {
constexpr int kMagicOffset = 0;
constexpr int kFormatOffset = 4;
constexpr int kMajorOffset = 6;
constexpr int kMinorOffset = 8;
constexpr int kPatchOffset = 10;
constexpr int kFlagsOffset = 14;
constexpr int kReadChunk = 512;

QByteArray digestOf(const QByteArray &payload, const quint8 *trailerHead, int headSize)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(payload);
    hash.addData(reinterpret_cast<const char *>(trailerHead), headSize);
    return hash.result();
}
}  // namespace

FirmwareMeta::FirmwareMeta(QObject *parent) : QObject(parent)
{
    registerBootloaderMetatypes();
    resetTrailer();
}

FirmwareMeta::~FirmwareMeta() = default;

quint16 FirmwareMeta::u16At(int offset) const
{
    return quint16(m_trailer[offset] | (m_trailer[offset + 1] << 8));
}

quint32 FirmwareMeta::u32At(int offset) const
{
    return quint32(m_trailer[offset]) | (quint32(m_trailer[offset + 1]) << 8) | (quint32(m_trailer[offset + 2]) << 16) |
           (quint32(m_trailer[offset + 3]) << 24);
}

void FirmwareMeta::putU16(int offset, quint16 value)
{
    m_trailer[offset] = quint8(value);
    m_trailer[offset + 1] = quint8(value >> 8);
}

void FirmwareMeta::putU32(int offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        m_trailer[offset + i] = quint8(value >> (8 * i));
}

quint16 FirmwareMeta::major() const
{
    return u16At(kMajorOffset);
}
quint16 FirmwareMeta::minor() const
{
    return u16At(kMinorOffset);
}
quint16 FirmwareMeta::patchlevel() const
{
    return quint16(u32At(kPatchOffset) & 0xFFFFu);
}
quint32 FirmwareMeta::patchLevel32() const
{
    return u32At(kPatchOffset);
}
quint32 FirmwareMeta::flags() const
{
    return u32At(kFlagsOffset);
}

QString FirmwareMeta::strings() const
{
    const char *text = reinterpret_cast<const char *>(m_trailer.data() + kStringsOffset);
    return QString::fromUtf8(text, int(qstrnlen(text, kStringsSize)));
}

QByteArray FirmwareMeta::trailer() const
{
    return QByteArray(reinterpret_cast<const char *>(m_trailer.data()), kTrailerSize);
}

void FirmwareMeta::resetTrailer()
{
    m_trailer.fill(0);
    putU32(kMagicOffset, kMagic);
    putU16(kFormatOffset, kFormatVersion);
}

void FirmwareMeta::setLoadStatus(LoadStatus status)
{
    // Every load and clear ends here, also one that keeps the status but changes the payload.
    emit flashImageChanged();
    if (m_loadStatus == status)
        return;
    m_loadStatus = status;
    emit loadStatusChanged(status);
}

QByteArray FirmwareMeta::flashImage() const
{
    return m_loadStatus == LoadStatus_Success && m_payloadVerified ? m_payload : QByteArray();
}

void FirmwareMeta::emitFieldSignals()
{
    emit majorChanged(major());
    emit minorChanged(minor());
    emit patchLevelChanged(patchlevel());
    emit flagsChanged(flags());
    emit stringsChanged();
    emit payloadChanged();
}

void FirmwareMeta::load(const QString &url)
{
    qInfo().noquote() << QStringLiteral("FirmwareMeta::load(\"%1\")").arg(url);
    m_input.reset();
    resetTrailer();
    m_payload.clear();
    m_payloadVerified = false;
    setLoadStatus(LoadStatus_NoLoadAttempted);

    const QUrl parsed(url);
    const QString path = parsed.isLocalFile() ? parsed.toLocalFile() : url;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "Failed to open firmware" << path << file->errorString();
        setLoadStatus(LoadStatus_IOError);
        return;
    }
    if (file->size() > kMaxFileSize) {
        qWarning().noquote() << "Failed to open firmware" << path << "file too large";
        setLoadStatus(LoadStatus_IOError);
        return;
    }
    m_input = std::move(file);
    readInput();
}

void FirmwareMeta::loadData(const QByteArray &data)
{
    m_input.reset();
    m_payload.clear();
    m_payloadVerified = false;
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(data);
    buffer->open(QIODevice::ReadOnly);
    m_input = std::move(buffer);
    readInput();
}

void FirmwareMeta::readInput()
{
    char chunk[kReadChunk];
    bool failed = false;
    while (!m_input->atEnd()) {
        const qint64 got = m_input->read(chunk, kReadChunk);
        if (got <= 0) {
            failed = got < 0;
            break;
        }
        m_payload.append(chunk, int(got));
        if (m_payload.size() > kMaxFileSize) {
            failed = true;
            break;
        }
    }
    if (failed) {
        // A file that fails half-way must not pass as a short, trailer-less image.
        qWarning().noquote() << "Failed to read firmware" << m_input->errorString();
        m_input.reset();
        resetTrailer();
        m_payload.clear();
        emitFieldSignals();
        setLoadStatus(LoadStatus_IOError);
        return;
    }
    m_input.reset();
    extractTrailer();
}

void FirmwareMeta::extractTrailer()
{
    resetTrailer();
    LoadStatus status = LoadStatus_Success;
    if (m_payload.size() < kTrailerSize) {
        status = LoadStatus_BadMetaHeader;
    } else {
        const int trailerStart = m_payload.size() - kTrailerSize;
        std::array<quint8, kTrailerSize> candidate{};
        std::memcpy(candidate.data(), m_payload.constData() + trailerStart, kTrailerSize);
        const quint32 magic = quint32(candidate[0]) | (quint32(candidate[1]) << 8) | (quint32(candidate[2]) << 16) |
                              (quint32(candidate[3]) << 24);
        const quint16 format = quint16(candidate[4] | (candidate[5] << 8));
        if (magic != kMagic || format != kFormatVersion) {
            status = LoadStatus_BadMetaHeader;
        } else {
            const QByteArray computed = QCryptographicHash::hash(
                QByteArray::fromRawData(m_payload.constData(), m_payload.size() - 32), QCryptographicHash::Sha256);
            if (std::memcmp(computed.constData(), candidate.data() + kDigestOffset, 32) != 0) {
                status = LoadStatus_ChecksumFailure;
            } else {
                m_trailer = candidate;
                m_payload.truncate(trailerStart);
                m_payloadVerified = true;
            }
        }
    }
    emitFieldSignals();
    setLoadStatus(status);
}

bool FirmwareMeta::save(const QString &url)
{
    const QUrl parsed(url);
    if (!parsed.isLocalFile())
        return false;
    // QSaveFile writes beside the target and renames only when everything was written, so a
    // failed save never leaves a truncated firmware file behind.
    QSaveFile file(parsed.toLocalFile());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning().noquote() << "Failed to save firmware" << parsed.toLocalFile() << file.errorString();
        return false;
    }
    const bool payloadOk = file.write(m_payload) == m_payload.size();
    const bool trailerOk =
        payloadOk && file.write(reinterpret_cast<const char *>(m_trailer.data()), kTrailerSize) == kTrailerSize;
    if (!payloadOk || !trailerOk) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void FirmwareMeta::generateChecksum()
{
    const QByteArray digest = digestOf(m_payload, m_trailer.data(), kDigestOffset);
    std::memcpy(m_trailer.data() + kDigestOffset, digest.constData(), 32);
}

void FirmwareMeta::clear(bool dataToo)
{
    m_input.reset();
    resetTrailer();
    if (dataToo)
        m_payload.clear();
    m_payloadVerified = false;
    setLoadStatus(LoadStatus_NoLoadAttempted);
}

void FirmwareMeta::setMajor(quint16 value)
{
    if (value == major())
        return;
    putU16(kMajorOffset, value);
    emit majorChanged(value);
}

void FirmwareMeta::setMinor(quint16 value)
{
    if (value == minor())
        return;
    putU16(kMinorOffset, value);
    emit minorChanged(value);
}

void FirmwareMeta::setPatchLevel(quint32 value)
{
    if (value == patchLevel32())
        return;
    putU32(kPatchOffset, value);
    emit patchLevelChanged(patchlevel());
}

void FirmwareMeta::setFlags(quint32 value)
{
    if (value == flags())
        return;
    putU32(kFlagsOffset, value);
    emit flagsChanged(value);
}

void FirmwareMeta::setStrings(const QString &text)
{
    QByteArray utf8 = text.toUtf8();
    if (utf8.size() > kStringsSize) {
        // Cut at a character boundary so the stored text stays valid UTF-8.
        int cut = kStringsSize;
        while (cut > 0 && (quint8(utf8[cut]) & 0xC0) == 0x80)
            --cut;
        utf8.truncate(cut);
    }
    std::memset(m_trailer.data() + kStringsOffset, 0, kStringsSize);
    std::memcpy(m_trailer.data() + kStringsOffset, utf8.constData(), size_t(utf8.size()));
    emit stringsChanged();
}

void FirmwareMeta::setPayload(const QByteArray &payload)
{
    if (payload != m_payload) {
        m_payload = payload;
        m_payloadVerified = false;  // no longer what the loaded file's digest vouched for
        emit flashImageChanged();
    }
    emit payloadChanged();
}
