#include "LibftdiEeprom.h"

#include "AdapterIdentity.h"
#include "FtdiEepromImage.h"
#include "UdevPortEnumerator.h"

#include <QDebug>

#include <libftdi1/ftdi.h>
#include <libusb.h>

#include <memory>
#include <optional>

namespace {
constexpr int kInterface = 0;
constexpr int kMaxEeprom = 256;

struct FtdiDeleter {
    void operator()(ftdi_context *ftdi) const { ftdi_free(ftdi); }  // also closes the handle
};

void logNotFound()
{
    qDebug() << "ftdiUpdateEeprom could not find the device (is it already open?)";
}

void logReadProgramFailed(const QString &detail)
{
    qDebug().noquote() << "ftdiUpdateEeprom read/program failed" << detail;
}

// The checks made on the opened device itself, since bus and address can be taken by another
// device between the enumeration and the open: an FTDI chip whose layout we know, carrying the
// serial number the repair was asked for.
std::optional<FtdiEepromImage::Chip> checkOpenedDevice(libusb_device_handle *handle, const QString &serialNumber,
                                                       ftdi_chip_type *type)
{
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(libusb_get_device(handle), &desc) != 0) {
        qDebug() << "ftdiUpdateEeprom could not read the device descriptor";
        return std::nullopt;
    }
    const auto chip = FtdiEepromImage::chipOf(desc.idVendor, desc.bcdDevice);
    if (!chip) {
        qDebug().noquote() << "ftdiUpdateEeprom: unsupported adapter" << Qt::hex << desc.idVendor << desc.bcdDevice;
        return std::nullopt;
    }
    *type = *chip == FtdiEepromImage::Chip::Ft232R ? TYPE_R : TYPE_230X;
    unsigned char serial[256] = {};
    const int length = desc.iSerialNumber
                           ? libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, serial, sizeof serial - 1)
                           : LIBUSB_ERROR_NOT_FOUND;
    const QString opened =
        length >= 0 ? QString::fromLatin1(reinterpret_cast<const char *>(serial), length) : QString();
    if (length < 0 || opened != serialNumber) {
        qDebug().noquote() << "ftdiUpdateEeprom: the opened device's serial number" << opened << "is not"
                           << serialNumber;
        return std::nullopt;
    }
    return chip;
}

libusb_device *findDevice(libusb_context *usb, int bus, int address)
{
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(usb, &list);
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
            found = libusb_ref_device(list[i]);
            break;
        }
    }
    if (list)
        libusb_free_device_list(list, 1);
    return found;
}

// libftdi writes only an image it built itself. Its builder regenerates every byte from the
// fields it models and drops the rest (X-series drive and CBUS settings), so it is used only to
// arm the write; the bytes written are the image read from the chip with the strings changed.
bool writeImage(ftdi_context *ftdi, const QByteArray &image)
{
    libusb_device_handle *handle = ftdi->usb_dev;
    // The serial driver holds the interface; it gets it back as soon as the write is done.
    const bool detached =
        libusb_kernel_driver_active(handle, kInterface) == 1 && libusb_detach_kernel_driver(handle, kInterface) == 0;
    bool ok = ftdi_eeprom_decode(ftdi, 0) >= 0 && ftdi_eeprom_build(ftdi) >= 0;
    if (ok) {
        ok = ftdi_set_eeprom_buf(ftdi, reinterpret_cast<const unsigned char *>(image.constData()), image.size()) == 0 &&
             ftdi_write_eeprom(ftdi) == 0;
    }
    if (!ok)
        logReadProgramFailed(QString::fromLocal8Bit(ftdi_get_error_string(ftdi)));
    if (detached)
        libusb_attach_kernel_driver(handle, kInterface);
    return ok;
}
// The chip is read again: a write that did not take (a write-protected or failing EEPROM) is
// reported, not taken for success.
bool verifyWritten(ftdi_context *ftdi, const QByteArray &written)
{
    unsigned char buffer[kMaxEeprom] = {};
    if (ftdi_read_eeprom(ftdi) != 0 || ftdi_get_eeprom_buf(ftdi, buffer, kMaxEeprom) != 0) {
        logReadProgramFailed(QStringLiteral("reading back: ") + QString::fromLocal8Bit(ftdi_get_error_string(ftdi)));
        return false;
    }
    const QString mismatch = FtdiEepromImage::readBackMismatch(
        written, QByteArray(reinterpret_cast<const char *>(buffer), int(written.size())));
    if (!mismatch.isEmpty()) {
        logReadProgramFailed(QStringLiteral("the EEPROM does not hold what was written: ") + mismatch);
        return false;
    }
    return true;
}
}  // namespace

namespace LibftdiEeprom {
bool updateProductStrings(const QString &portName, const QString &serialNumber)
{
    UdevPortEnumerator::UsbLocation location;
    if (!UdevPortEnumerator::usbLocationOfPort(portName, &location) || location.serialNumber != serialNumber) {
        logNotFound();
        return false;
    }
    std::unique_ptr<ftdi_context, FtdiDeleter> ftdi(ftdi_new());
    if (!ftdi) {
        logNotFound();
        return false;
    }
    libusb_device *device = findDevice(ftdi->usb_ctx, location.bus, location.address);
    if (!device) {
        logNotFound();
        return false;
    }
    ftdi_chip_type type = TYPE_BM;
    libusb_device_handle *handle = nullptr;
    const int openResult = libusb_open(device, &handle);
    libusb_unref_device(device);
    if (openResult != 0) {
        qDebug().noquote() << "ftdiUpdateEeprom could not open the device:" << libusb_error_name(openResult);
        return false;
    }
    ftdi_set_usbdev(ftdi.get(), handle);
    const auto chip = checkOpenedDevice(handle, serialNumber, &type);
    if (!chip)
        return false;
    ftdi->type = type;

    unsigned char buffer[kMaxEeprom] = {};
    if (ftdi_read_eeprom(ftdi.get()) != 0 || ftdi_get_eeprom_buf(ftdi.get(), buffer, kMaxEeprom) != 0) {
        logReadProgramFailed(QString::fromLocal8Bit(ftdi_get_error_string(ftdi.get())));
        return false;
    }
    QString error;
    const QByteArray read(reinterpret_cast<const char *>(buffer), FtdiEepromImage::imageSize(*chip));
    auto image = FtdiEepromImage::decode(*chip, read, &error);
    if (!image) {
        logReadProgramFailed(error);
        return false;
    }
    const auto plan = AdapterIdentity::planStringUpdate(image->manufacturer(), image->product(),
                                                        *chip == FtdiEepromImage::Chip::Ft232R, image->highCurrent());
    if (plan.changed) {
        image->setManufacturer(plan.manufacturer);
        image->setProduct(plan.description);
        image->setHighCurrent(plan.highCurrent);
        const auto encoded = image->encode(&error);
        if (!encoded) {
            logReadProgramFailed(error);
            return false;
        }
        if (!writeImage(ftdi.get(), *encoded) || !verifyWritten(ftdi.get(), *encoded))
            return false;
    }
    // A USB reset makes the adapter enumerate again with the new strings.
    if (libusb_reset_device(handle) != 0)
        qDebug() << "ftdiUpdateEeprom reset failed";
    return true;
}
}  // namespace LibftdiEeprom
