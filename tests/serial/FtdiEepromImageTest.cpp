// The EEPROM string update on byte images of an FT232R and an FT230X, laid out as the chips'
// programmers write them and checked with libftdi's own decoder, without any hardware.
#include "serial/FtdiEepromImage.h"
#include "serial/AdapterIdentity.h"

#include <libftdi1/ftdi.h>

#include <gtest/gtest.h>

namespace {
using Chip = FtdiEepromImage::Chip;

void putWord(QByteArray &image, int offset, quint16 value)
{
    image[offset] = char(value & 0xFF);
    image[offset + 1] = char(value >> 8);
}

// The documented checksum: 0xAAAA, XOR each word and rotate left; the X series skips its user
// section (words 0x12..0x3F).
void seal(QByteArray &image, bool xSeries)
{
    quint16 sum = 0xAAAA;
    for (int i = 0; i < image.size() / 2 - 1; ++i) {
        if (xSeries && i >= 0x12 && i < 0x40)
            continue;
        sum ^= quint16(quint8(image[2 * i]) | (quint8(image[2 * i + 1]) << 8));
        sum = quint16((sum << 1) | (sum >> 15));
    }
    putWord(image, image.size() - 2, sum);
}

// String descriptors from `start` in the order manufacturer, product, serial, followed by the
// legacy 02 03 <pnp> bytes, with the pointer table at 0x0E.
void putStrings(QByteArray &image, int start, const QStringList &texts)
{
    int at = start;
    for (int s = 0; s < 3; ++s) {
        const int length = 2 + 2 * texts[s].size();
        image[0x0E + 2 * s] = char(at | 0x80);
        image[0x0F + 2 * s] = char(length);
        image[at] = char(length);
        image[at + 1] = 0x03;
        for (int i = 0; i < texts[s].size(); ++i)
            putWord(image, at + 2 + 2 * i, texts[s][i].unicode());
        at += length;
    }
    image[at] = 0x02;
    image[at + 1] = 0x03;
    image[at + 2] = 0x00;
}

QByteArray ft232rImage(const QString &manufacturer, const QString &product)
{
    QByteArray image(0x80, '\0');
    image[0x01] = 0x40;
    putWord(image, 0x02, 0x0403);
    putWord(image, 0x04, 0x6001);
    putWord(image, 0x06, 0x0600);
    image[0x08] = char(0xA0);
    image[0x09] = 0x2D;
    image[0x0A] = 0x08;
    image[0x0B] = 0x05;  // inverted lines
    putWord(image, 0x0C, 0x0200);
    image[0x14] = 0x23;  // CBUS functions
    image[0x15] = 0x31;
    image[0x16] = 0x02;
    putStrings(image, 0x18, {manufacturer, product, "A10K3ZQX"});
    seal(image, false);
    return image;
}

QByteArray ft230xImage(const QString &manufacturer, const QString &product)
{
    QByteArray image(0x100, '\0');
    image[0x00] = char(0x80);
    putWord(image, 0x02, 0x0403);
    putWord(image, 0x04, 0x6015);
    putWord(image, 0x06, 0x1000);
    image[0x08] = char(0x80);
    image[0x09] = 0x2D;
    image[0x0A] = 0x08;
    image[0x0C] = 0x11;  // 8 mA drive on both groups: libftdi's own builder would reset this
    for (int i = 0; i < 4; ++i)
        image[0x1A + i] = char(0x10 + i);
    for (int i = 0x24; i < 0x80; ++i)  // user section, outside the checksum
        image[i] = char(i);
    for (int i = 0x80; i < 0xA0; ++i)  // factory configuration
        image[i] = char(0xF0 ^ i);
    putStrings(image, 0xA0, {manufacturer, product, "DK0ABCDE"});
    seal(image, true);
    return image;
}

// libftdi's decoder as the independent reader: the checksum it verifies and the strings it
// sees. It refuses to work without an open device although decoding never touches it, so it
// is given a placeholder that is taken back before it could be used.
struct LibftdiView {
    bool checksumOk = false;
    QString manufacturer, product, serial;
    int highCurrent = 0;
};

LibftdiView decodeWithLibftdi(Chip chip, const QByteArray &image)
{
    LibftdiView view;
    ftdi_context *ftdi = ftdi_new();
    ftdi->type = chip == Chip::Ft232R ? TYPE_R : TYPE_230X;
    int placeholder = 0;
    ftdi->usb_dev = reinterpret_cast<libusb_device_handle *>(&placeholder);
    EXPECT_EQ(ftdi_eeprom_initdefaults(ftdi, nullptr, nullptr, nullptr), 0);  // sets the image size
    EXPECT_EQ(ftdi_set_eeprom_buf(ftdi, reinterpret_cast<const unsigned char *>(image.constData()), image.size()), 0);
    view.checksumOk = ftdi_eeprom_decode(ftdi, 0) == 0;
    char m[128] = {}, p[128] = {}, s[128] = {};
    if (view.checksumOk && ftdi_eeprom_get_strings(ftdi, m, sizeof m, p, sizeof p, s, sizeof s) == 0) {
        view.manufacturer = QString::fromLatin1(m);
        view.product = QString::fromLatin1(p);
        view.serial = QString::fromLatin1(s);
        ftdi_get_eeprom_value(ftdi, HIGH_CURRENT, &view.highCurrent);
    }
    ftdi->usb_dev = nullptr;
    ftdi_free(ftdi);
    return view;
}

// The update the utility performs: decode, plan, change, encode.
QByteArray update(Chip chip, const QByteArray &image)
{
    auto decoded = FtdiEepromImage::decode(chip, image);
    EXPECT_TRUE(decoded.has_value());
    if (!decoded)
        return {};
    const auto plan = AdapterIdentity::planStringUpdate(decoded->manufacturer(), decoded->product(),
                                                        chip == Chip::Ft232R, decoded->highCurrent());
    EXPECT_TRUE(plan.changed);
    decoded->setManufacturer(plan.manufacturer);
    decoded->setProduct(plan.description);
    decoded->setHighCurrent(plan.highCurrent);
    return decoded->encode().value_or(QByteArray());
}
}  // namespace

TEST(FtdiEepromImage, Ft232rStringsReplacedHighCurrentSetRestKept)
{
    const QByteArray original = ft232rImage("FTDI", "FT232R USB UART");
    ASSERT_TRUE(decodeWithLibftdi(Chip::Ft232R, original).checksumOk);  // the test's image is sound

    auto decoded = FtdiEepromImage::decode(Chip::Ft232R, original);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->manufacturer(), "FTDI");
    EXPECT_EQ(decoded->product(), "FT232R USB UART");
    EXPECT_EQ(decoded->serialNumber(), "A10K3ZQX");
    EXPECT_FALSE(decoded->highCurrent());

    const QByteArray updated = update(Chip::Ft232R, original);
    ASSERT_EQ(updated.size(), 0x80);
    const LibftdiView view = decodeWithLibftdi(Chip::Ft232R, updated);
    EXPECT_TRUE(view.checksumOk);
    EXPECT_EQ(view.manufacturer, "Ombrellix");
    EXPECT_EQ(view.product, "Tarrowind USB Adapter");
    EXPECT_EQ(view.serial, "A10K3ZQX");
    EXPECT_NE(view.highCurrent, 0);

    // Everything before the pointer table and between it and the strings is as it was, apart
    // from the high-current bit.
    EXPECT_EQ(quint8(updated[0]), quint8(original[0]) | 0x04);
    EXPECT_EQ(updated.mid(1, 0x0E - 1), original.mid(1, 0x0E - 1));
    EXPECT_EQ(updated.mid(0x14, 4), original.mid(0x14, 4));
    // The legacy tail follows the new serial descriptor; nothing of the old strings is left.
    const int serialAt = quint8(updated[0x12]) & 0x7F;
    const int tail = serialAt + quint8(updated[0x13]);
    EXPECT_EQ(updated.mid(tail, 3), QByteArray("\x02\x03\x00", 3));
    EXPECT_EQ(updated.mid(tail + 3, 0x7E - tail - 3), QByteArray(0x7E - tail - 3, '\0'));

    // Decoding our own result gives the same strings again.
    auto again = FtdiEepromImage::decode(Chip::Ft232R, updated);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->manufacturer(), "Ombrellix");
    EXPECT_TRUE(again->highCurrent());
}

TEST(FtdiEepromImage, XSeriesStringsReplacedEverythingElseKept)
{
    const QByteArray original = ft230xImage("FTDI", "FT230X Basic UART");
    ASSERT_TRUE(decodeWithLibftdi(Chip::XSeries, original).checksumOk);

    const QByteArray updated = update(Chip::XSeries, original);
    ASSERT_EQ(updated.size(), 0x100);
    const LibftdiView view = decodeWithLibftdi(Chip::XSeries, updated);
    EXPECT_TRUE(view.checksumOk);
    EXPECT_EQ(view.manufacturer, "Ombrellix");
    EXPECT_EQ(view.product, "Tarrowind USB Adapter");
    EXPECT_EQ(view.serial, "DK0ABCDE");
    // No option changed: configuration, user section and factory data are byte for byte the same.
    EXPECT_EQ(updated.left(0x0E), original.left(0x0E));
    EXPECT_EQ(updated.mid(0x14, 0xA0 - 0x14), original.mid(0x14, 0xA0 - 0x14));
}

TEST(FtdiEepromImage, RefusesWhatItCannotWriteBackSafely)
{
    QByteArray image = ft232rImage("FTDI", "FT232R USB UART");
    QByteArray corrupt = image;
    corrupt[0x30] = char(corrupt[0x30] ^ 1);
    QString error;
    EXPECT_FALSE(FtdiEepromImage::decode(Chip::Ft232R, corrupt, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(FtdiEepromImage::decode(Chip::Ft232R, image.left(0x7F)));
    EXPECT_FALSE(FtdiEepromImage::decode(Chip::XSeries, image));  // wrong size for the chip

    // A string pointer running past the checksum word.
    QByteArray wild = image;
    wild[0x12] = char(0x80 | 0x70);
    wild[0x13] = 0x20;
    seal(wild, false);
    EXPECT_FALSE(FtdiEepromImage::decode(Chip::Ft232R, wild));

    // Odd lengths and pointers into the configuration words.
    QByteArray odd = image;
    odd[0x0F] = 0x09;
    seal(odd, false);
    EXPECT_FALSE(FtdiEepromImage::decode(Chip::Ft232R, odd));
    QByteArray low = image;
    low[0x0E] = char(0x80 | 0x02);
    seal(low, false);
    EXPECT_FALSE(FtdiEepromImage::decode(Chip::Ft232R, low));

    // The FT232R string area (0x18..0x7D) holds three descriptor headers, the 3-byte legacy
    // tail and 46 characters: with "FTDI" and an 8-character serial, 34 for the product.
    auto decoded = FtdiEepromImage::decode(Chip::Ft232R, image);
    ASSERT_TRUE(decoded);
    decoded->setProduct(QString(34, 'x'));
    const auto full = decoded->encode();
    ASSERT_TRUE(full);
    EXPECT_EQ(decodeWithLibftdi(Chip::Ft232R, *full).product, QString(34, 'x'));
    decoded->setProduct(QString(35, 'x'));
    EXPECT_FALSE(decoded->encode(&error));

    // Data someone keeps after the strings: longer strings that would cover it are refused,
    // ones that end before it are written and leave it alone.
    QByteArray kept = image;
    const int stringsEnd = (quint8(kept[0x12]) & 0x7F) + quint8(kept[0x13]) + 3;
    kept[stringsEnd + 20] = char(0x5A);
    seal(kept, false);
    auto withData = FtdiEepromImage::decode(Chip::Ft232R, kept);
    withData->setProduct(withData->product() + QString(10, 'x'));
    EXPECT_EQ(withData->encode().value_or(QByteArray()).mid(stringsEnd + 20, 1), "\x5A");
    withData->setProduct(withData->product() + "x");  // now one character reaches it
    error.clear();
    EXPECT_FALSE(withData->encode(&error));
    EXPECT_TRUE(error.contains("overwrite")) << error.toStdString();
}

TEST(FtdiEepromImage, OnlyKnownFtdiChipsAndExactReadBacksPass)
{
    // FT232R, X series; FT2232H (another layout); another vendor with the same release number.
    EXPECT_EQ(FtdiEepromImage::chipOf(0x0403, 0x0600), Chip::Ft232R);
    EXPECT_EQ(FtdiEepromImage::chipOf(0x0403, 0x1000), Chip::XSeries);
    EXPECT_FALSE(FtdiEepromImage::chipOf(0x0403, 0x0700));
    EXPECT_FALSE(FtdiEepromImage::chipOf(0x1a86, 0x0600));

    const QByteArray written = ft232rImage("FTDI", "FT232R USB UART");
    EXPECT_EQ(FtdiEepromImage::readBackMismatch(written, written + QByteArray(128, '\xff')), QString());
    QByteArray changed = written;
    changed[0x41] = char(changed[0x41] ^ 0x10);
    EXPECT_TRUE(FtdiEepromImage::readBackMismatch(written, changed).startsWith("byte 0x41"));
    EXPECT_FALSE(FtdiEepromImage::readBackMismatch(written, written.left(0x7F)).isEmpty());
}
