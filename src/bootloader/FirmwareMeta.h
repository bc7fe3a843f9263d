#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>

class QIODevice;

// A firmware update file: the raw flash image followed by a 210-byte trailer (magic, format
// version, version numbers, flags, a text field, reserved bytes and a SHA-256 digest over
// everything before the digest). Integers in the trailer are little-endian.
class FirmwareMeta : public QObject
{
    Q_OBJECT
    Q_PROPERTY(quint16 major READ major WRITE setMajor NOTIFY majorChanged)
    Q_PROPERTY(quint16 minor READ minor WRITE setMinor NOTIFY minorChanged)
    Q_PROPERTY(quint16 patchlevel READ patchlevel WRITE setPatchLevel NOTIFY patchLevelChanged)
    Q_PROPERTY(quint32 flags READ flags WRITE setFlags NOTIFY flagsChanged)
    Q_PROPERTY(QString strings READ strings WRITE setStrings NOTIFY stringsChanged)
    Q_PROPERTY(QByteArray payload READ payload WRITE setPayload NOTIFY payloadChanged)
    Q_PROPERTY(LoadStatus loadStatus READ loadStatus NOTIFY loadStatusChanged)
    Q_PROPERTY(QByteArray flashImage READ flashImage NOTIFY flashImageChanged)

public:
    enum LoadStatus {
        LoadStatus_Success = 0,
        LoadStatus_IOError = 1,
        LoadStatus_BadMetaHeader = 2,
        LoadStatus_ChecksumFailure = 3,
        LoadStatus_NoLoadAttempted = 4
    };
    Q_ENUM(LoadStatus)

    enum MetaFlag { MetaFlag_Debug = 1 };
    Q_ENUM(MetaFlag)

    static constexpr int kTrailerSize = 210;
    static constexpr int kDigestOffset = 178;
    static constexpr int kStringsOffset = 18;
    static constexpr int kStringsSize = 128;
    static constexpr quint32 kMagic = 0xDCC811C2u;
    static constexpr quint16 kFormatVersion = 1;
    // Far above any image the 256 KiB part can hold; stops a wrong file from eating memory.
    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

    explicit FirmwareMeta(QObject *parent = nullptr);
    ~FirmwareMeta() override;

    quint16 major() const;
    quint16 minor() const;
    quint16 patchlevel() const;
    // The full 32-bit patch level field (the property shows its low 16 bits).
    quint32 patchLevel32() const;
    quint32 flags() const;
    QString strings() const;
    QByteArray payload() const { return m_payload; }
    LoadStatus loadStatus() const { return m_loadStatus; }
    // The image to program: the payload of a file that loaded with LoadStatus_Success and was
    // not changed since, else empty. A damaged or trailer-less file keeps its bytes in
    // `payload`, but they are never offered for flashing.
    QByteArray flashImage() const;
    // The 210 trailer bytes as they stand.
    QByteArray trailer() const;

public slots:
    void load(const QString &url);
    void loadData(const QByteArray &data);
    bool save(const QString &url);
    void generateChecksum();
    void clear(bool dataToo);

    void setMajor(quint16 major);
    void setMinor(quint16 minor);
    void setPatchLevel(quint32 patchLevel);
    void setFlags(quint32 flags);
    void setStrings(const QString &strings);
    void setPayload(const QByteArray &payload);

signals:
    void loadStatusChanged(FirmwareMeta::LoadStatus status);
    void majorChanged(quint16 major);
    void minorChanged(quint16 minor);
    void patchLevelChanged(quint16 patchLevel);
    void flagsChanged(quint32 flags);
    void stringsChanged();
    void payloadChanged();
    void flashImageChanged();

private:
    void resetTrailer();
    void readInput();
    void extractTrailer();
    void setLoadStatus(LoadStatus status);
    void emitFieldSignals();
    quint16 u16At(int offset) const;
    quint32 u32At(int offset) const;
    void putU16(int offset, quint16 value);
    void putU32(int offset, quint32 value);

    std::array<quint8, kTrailerSize> m_trailer{};
    QByteArray m_payload;
    LoadStatus m_loadStatus = LoadStatus_NoLoadAttempted;
    bool m_payloadVerified = false;  // the payload is the one the digest of the loaded file covers
    std::unique_ptr<QIODevice> m_input;
};
