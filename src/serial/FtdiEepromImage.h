#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The EEPROM image of an FTDI adapter as the chip reads it at power-up: little-endian words,
// three USB string descriptors addressed by the pointer table at 0x0E..0x13, and a checksum in
// the last word. Only the strings and the FT232R high-current bit are decoded; re-encoding
// keeps every other byte as it was read, so settings this code does not model survive.
class FtdiEepromImage
{
public:
    enum class Chip { Ft232R, XSeries };

    static int imageSize(Chip chip);
    // The chip an FTDI device is, from its USB vendor id and bcdDevice; nothing for any other
    // vendor's device and for FTDI chips whose EEPROM layout this code does not know.
    static std::optional<Chip> chipOf(quint16 vendorId, quint16 bcdDevice);
    // "" when the image read back from the chip is the one written, else what differs.
    static QString readBackMismatch(const QByteArray &written, const QByteArray &readBack);
    // The checksum the chip expects in the last word of `image` (imageSize bytes).
    static quint16 checksum(Chip chip, const QByteArray &image);

    // Fails on a wrong size, a bad checksum or string pointers outside the string area: such an
    // image is not one to write back.
    static std::optional<FtdiEepromImage> decode(Chip chip, const QByteArray &image, QString *error = nullptr);

    Chip chip() const { return m_chip; }
    QString manufacturer() const { return m_manufacturer; }
    QString product() const { return m_product; }
    QString serialNumber() const { return m_serialNumber; }
    bool highCurrent() const { return m_highCurrent; }

    void setManufacturer(const QString &text) { m_manufacturer = text; }
    void setProduct(const QString &text) { m_product = text; }
    void setHighCurrent(bool on) { m_highCurrent = on; }

    // The image with the current strings laid out afresh and a new checksum; nothing when the
    // strings do not fit the chip's string area, or when longer strings would overwrite bytes
    // that something else keeps after the old ones (user data up to the checksum word).
    std::optional<QByteArray> encode(QString *error = nullptr) const;

private:
    FtdiEepromImage(Chip chip, const QByteArray &image) : m_chip(chip), m_image(image) {}

    Chip m_chip;
    QByteArray m_image;
    int m_usedStringEnd = 0;  // end of the string descriptors (and legacy tail) as read
    QByteArray m_legacyTail;
    QString m_manufacturer;
    QString m_product;
    QString m_serialNumber;
    bool m_highCurrent = false;
};
