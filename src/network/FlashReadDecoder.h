#pragma once

#include "Network.h"

#include <QByteArray>
#include <QString>

// Turns the three flash-read results into (request id, position, status, data) with data of
// exactly one sector (528 bytes) or one page (2112 bytes). A status without valid data yields
// the full size of 0xFF; compressed data must decode to exactly the expected size.
struct FlashReadResult {
    uint16_t requestId = 0;
    uint32_t position = 0;  // offset528 or pageIndex
    Network::ReadStatus status = Network::ReadStatus::Ok;
    QByteArray data;
    QString error;  // set when decoding failed; then data is empty

    bool ok() const { return error.isEmpty(); }
};

namespace FlashReadDecoder {
// True for the statuses whose data is valid (Ok, EccCorrected, EccCorrectedMany).
bool statusHasData(Network::ReadStatus status);

// `length` is the packet's total length as framed by the parser.
FlashReadResult decodeRead528(const Network::PacketBase &packet, int length);
FlashReadResult decodeReadLz528(const Network::PacketBase &packet, int length);
FlashReadResult decodeReadPage(const Network::PacketBase &packet, int length);
}  // namespace FlashReadDecoder
