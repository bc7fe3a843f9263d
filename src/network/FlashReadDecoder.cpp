#include "FlashReadDecoder.h"

#include "FastLz.h"

#include <cstring>

using namespace Network;

namespace FlashReadDecoder {

bool statusHasData(ReadStatus status)
{
    return status == ReadStatus::Ok || status == ReadStatus::EccCorrected || status == ReadStatus::EccCorrectedMany;
}

namespace {
// The shared tail of the two variable-size results: flag byte at offset 16, n data bytes at 17.
void decodeBody(const uint8_t *raw, int length, uint16_t dataSize, uint8_t flag, int expected, const char *name,
                FlashReadResult *r)
{
    if (!statusHasData(r->status)) {
        r->data = QByteArray(expected, char(0xFF));
        return;
    }
    constexpr int kDataOffset = 17;
    // The parser framed the packet from the same length field; guard against other callers.
    if (length < kDataOffset + int(dataSize)) {
        r->error = QString::fromLatin1(name) + QStringLiteral(" wrong data size!");
        return;
    }
    const uint8_t *data = raw + kDataOffset;
    if (flag != 0) {
        QByteArray out(expected, '\0');
        const int n = FastLz::decompress(data, dataSize, out.data(), expected);
        if (n != expected) {
            r->error = QString::fromLatin1(name) + QStringLiteral(" decompression failure!");
            return;
        }
        r->data = out;
    } else {
        if (dataSize != expected) {
            r->error = QString::fromLatin1(name) + QStringLiteral(" wrong data size!");
            return;
        }
        r->data = QByteArray(reinterpret_cast<const char *>(data), expected);
    }
}
}  // namespace

FlashReadResult decodeRead528(const PacketBase &packet, int length)
{
    FlashReadResult r;
    if (length < int(sizeof(S2C_FlashRead528ResultPacket))) {
        r.error = QStringLiteral("S2C_FlashRead528Result wrong data size!");
        return r;
    }
    const auto &p = reinterpret_cast<const S2C_FlashRead528ResultPacket &>(packet);
    r.requestId = p.base.requestId;
    r.position = p.offset528;
    r.status = ReadStatus(p.status);
    if (statusHasData(r.status))
        r.data = QByteArray(reinterpret_cast<const char *>(p.data), kSectorSize);
    else
        r.data = QByteArray(kSectorSize, char(0xFF));
    return r;
}

FlashReadResult decodeReadLz528(const PacketBase &packet, int length)
{
    FlashReadResult r;
    if (length < int(sizeof(S2C_FlashReadLz528ResultPacket))) {
        r.error = QStringLiteral("S2C_FlashReadLz528Result wrong data size!");
        return r;
    }
    const auto &p = reinterpret_cast<const S2C_FlashReadLz528ResultPacket &>(packet);
    r.requestId = p.base.requestId;
    r.position = p.offset528;
    r.status = ReadStatus(p.status);
    decodeBody(reinterpret_cast<const uint8_t *>(&packet), length, p.dataSize, p.compressSuccess, kSectorSize,
               "S2C_FlashReadLz528Result", &r);
    return r;
}

FlashReadResult decodeReadPage(const PacketBase &packet, int length)
{
    FlashReadResult r;
    if (length < int(sizeof(S2C_FlashReadPageResultPacket))) {
        r.error = QStringLiteral("S2C_FlashReadPageResult wrong data size!");
        return r;
    }
    const auto &p = reinterpret_cast<const S2C_FlashReadPageResultPacket &>(packet);
    r.requestId = p.base.requestId;
    r.position = p.pageIndex;
    r.status = ReadStatus(p.status);
    decodeBody(reinterpret_cast<const uint8_t *>(&packet), length, p.dataSize, p.compression, kPageSize,
               "S2C_FlashReadPageResult", &r);
    return r;
}

}  // namespace FlashReadDecoder
