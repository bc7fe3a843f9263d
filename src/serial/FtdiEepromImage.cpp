#include "FtdiEepromImage.h"

#include <QVector>

namespace {
constexpr int kPointerTable = 0x0E;  // three (offset | 0x80, length) byte pairs
constexpr quint8 kStringDescriptor = 0x03;
constexpr quint8 kHighCurrentR = 0x04;  // byte 0 of an FT232R image

int stringAreaStart(FtdiEepromImage::Chip chip)
{
    return chip == FtdiEepromImage::Chip::Ft232R ? 0x18 : 0xA0;
}

quint16 wordAt(const QByteArray &image, int wordIndex)
{
    return quint16(quint8(image.at(2 * wordIndex)) | (quint8(image.at(2 * wordIndex + 1)) << 8));
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}
}  // namespace

int FtdiEepromImage::imageSize(Chip chip)
{
    return chip == Chip::Ft232R ? 0x80 : 0x100;
}

std::optional<FtdiEepromImage::Chip> FtdiEepromImage::chipOf(quint16 vendorId, quint16 bcdDevice)
{
    if (vendorId != 0x0403)
        return std::nullopt;
    switch (bcdDevice) {
    case 0x600:
        return Chip::Ft232R;
    case 0x1000:
        return Chip::XSeries;
    default:
        return std::nullopt;
    }
}

QString FtdiEepromImage::readBackMismatch(const QByteArray &written, const QByteArray &readBack)
{
    if (readBack.size() < written.size())
        return QStringLiteral("read back %1 of %2 bytes").arg(readBack.size()).arg(written.size());
    for (int i = 0; i < written.size(); ++i) {
        if (written.at(i) != readBack.at(i))
            return QStringLiteral("byte 0x%1 reads 0x%2, written 0x%3")
                .arg(i, 2, 16, QLatin1Char('0'))
                .arg(quint8(readBack.at(i)), 2, 16, QLatin1Char('0'))
                .arg(quint8(written.at(i)), 2, 16, QLatin1Char('0'));
    }
    return QString();
}

quint16 FtdiEepromImage::checksum(Chip chip, const QByteArray &image)
{
    quint16 sum = 0xAAAA;
    const int words = imageSize(chip) / 2 - 1;
    for (int i = 0; i < words && 2 * i + 1 < image.size(); ++i) {
        // The X series keeps a user section (words 0x12..0x3F) outside the checksum.
        if (chip == Chip::XSeries && i == 0x12)
            i = 0x40;
        sum ^= wordAt(image, i);
        sum = quint16((sum << 1) | (sum >> 15));
    }
    return sum;
}

std::optional<FtdiEepromImage> FtdiEepromImage::decode(Chip chip, const QByteArray &image, QString *error)
{
    const int size = imageSize(chip);
    if (image.size() != size) {
        setError(error, QStringLiteral("EEPROM image of %1 bytes, expected %2").arg(image.size()).arg(size));
        return std::nullopt;
    }
    if (checksum(chip, image) != wordAt(image, size / 2 - 1)) {
        setError(error, QStringLiteral("EEPROM checksum mismatch"));
        return std::nullopt;
    }
    FtdiEepromImage decoded(chip, image);
    decoded.m_usedStringEnd = stringAreaStart(chip);
    QString *targets[] = {&decoded.m_manufacturer, &decoded.m_product, &decoded.m_serialNumber};
    for (int s = 0; s < 3; ++s) {
        const int length = quint8(image.at(kPointerTable + 2 * s + 1));
        if (length == 0)
            continue;  // no such string
        const int offset = quint8(image.at(kPointerTable + 2 * s)) & (size - 1);
        if (length < 2 || length % 2 != 0 || offset < stringAreaStart(chip) || offset + length > size - 2) {
            setError(error, QStringLiteral("EEPROM string pointer out of range"));
            return std::nullopt;
        }
        QVector<ushort> units;
        for (int i = offset + 2; i < offset + length; i += 2)
            units << ushort(quint8(image.at(i)) | (quint8(image.at(i + 1)) << 8));
        *targets[s] = QString::fromUtf16(units.constData(), units.size());
        decoded.m_usedStringEnd = qMax(decoded.m_usedStringEnd, offset + length);
    }
    // Programmers follow the serial number with an empty descriptor and the PnP byte (legacy
    // port name fields); they move along with the strings.
    const int tail = decoded.m_usedStringEnd;
    if (tail + 3 <= size - 2 && quint8(image.at(tail)) == 0x02 && quint8(image.at(tail + 1)) == kStringDescriptor) {
        decoded.m_legacyTail = image.mid(tail, 3);
        decoded.m_usedStringEnd += 3;
    }
    decoded.m_highCurrent = chip == Chip::Ft232R && (quint8(image.at(0)) & kHighCurrentR);
    return decoded;
}

std::optional<QByteArray> FtdiEepromImage::encode(QString *error) const
{
    const int size = imageSize(m_chip);
    const int areaEnd = size - 2;
    QByteArray image = m_image;
    // Clear the old descriptors so no stale text is left behind; what lies after them (an
    // application's user data) stays.
    for (int i = stringAreaStart(m_chip); i < m_usedStringEnd; ++i)
        image[i] = 0;
    int next = stringAreaStart(m_chip);
    const QString *texts[] = {&m_manufacturer, &m_product, &m_serialNumber};
    for (int s = 0; s < 3; ++s) {
        const int length = 2 + 2 * texts[s]->size();
        if (length > 0xFE || next + length > areaEnd) {
            setError(error, QStringLiteral("EEPROM strings do not fit"));
            return std::nullopt;
        }
        image[kPointerTable + 2 * s] = char(next | 0x80);
        image[kPointerTable + 2 * s + 1] = char(length);
        image[next] = char(length);
        image[next + 1] = char(kStringDescriptor);
        for (int i = 0; i < texts[s]->size(); ++i) {
            const ushort unit = texts[s]->at(i).unicode();
            image[next + 2 + 2 * i] = char(unit & 0xFF);
            image[next + 3 + 2 * i] = char(unit >> 8);
        }
        next += length;
    }
    if (next + m_legacyTail.size() > areaEnd) {
        setError(error, QStringLiteral("EEPROM strings do not fit"));
        return std::nullopt;
    }
    // Beyond the old strings the bytes are not ours: longer strings may only take zeros.
    for (int i = m_usedStringEnd; i < next + m_legacyTail.size(); ++i) {
        if (m_image.at(i) != 0) {
            setError(error, QStringLiteral("the new EEPROM strings would overwrite data stored after the old ones "
                                           "(byte 0x%1); the adapter is left as it is")
                                .arg(i, 2, 16, QLatin1Char('0')));
            return std::nullopt;
        }
    }
    for (int i = 0; i < m_legacyTail.size(); ++i)
        image[next + i] = m_legacyTail.at(i);
    if (m_chip == Chip::Ft232R) {
        const quint8 flags = quint8(image.at(0));
        image[0] = char(m_highCurrent ? (flags | kHighCurrentR) : (flags & ~kHighCurrentR));
    }
    const quint16 sum = checksum(m_chip, image);
    image[areaEnd] = char(sum & 0xFF);
    image[areaEnd + 1] = char(sum >> 8);
    return image;
}
