// The firmware-file loader on arbitrary bytes: whatever the input, loading ends with a status,
// and a file that loads successfully is consistent with its own digest and layout.
#include "bootloader/FirmwareMeta.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    FirmwareMeta meta;
    meta.loadData(input);
    switch (meta.loadStatus()) {
    case FirmwareMeta::LoadStatus_Success: {
        if (input.size() < FirmwareMeta::kTrailerSize ||
            meta.payload().size() != input.size() - FirmwareMeta::kTrailerSize)
            abort();
        if (meta.payload() + meta.trailer() != input)
            abort();
        const QByteArray digest = QCryptographicHash::hash(input.left(input.size() - 32), QCryptographicHash::Sha256);
        if (digest != input.right(32))
            abort();
        // Rebuilding from the loaded fields reproduces the file.
        FirmwareMeta copy;
        copy.setMajor(meta.major());
        copy.setMinor(meta.minor());
        copy.setPatchLevel(meta.patchLevel32());
        copy.setFlags(meta.flags());
        copy.setPayload(meta.payload());
        copy.loadData(meta.payload() + meta.trailer());
        if (copy.loadStatus() != FirmwareMeta::LoadStatus_Success || copy.strings() != meta.strings())
            abort();
        break;
    }
    case FirmwareMeta::LoadStatus_BadMetaHeader:
    case FirmwareMeta::LoadStatus_ChecksumFailure:
        // Nothing is lost: the bytes stay available as the payload.
        if (meta.payload() != input)
            abort();
        if (meta.major() != 0 || meta.patchLevel32() != 0)
            abort();
        break;
    default:
        abort();
    }
    return 0;
}
