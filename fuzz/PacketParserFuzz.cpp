// Feeds arbitrary bytes to the receive parser (both directions) and to the protocol client's
// dispatcher, in chunks whose sizes come from the input itself.
#include "network/FlashReadDecoder.h"
#include "network/Network.h"
#include "network/PacketParser.h"
#include "network/TarrowindFirmware.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <QCoreApplication>

namespace {
void quietHandler(QtMsgType, const QMessageLogContext &, const QString &) {}

QCoreApplication *app()
{
    static int argc = 1;
    static char name[] = "fuzz_packetparser";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *instance = [] {
        qInstallMessageHandler(quietHandler);
        return new QCoreApplication(argc, argv);
    }();
    return instance;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    app();
    if (size == 0)
        return 0;
    const int chunk = 1 + data[0] % 97;
    const uint8_t *in = data + 1;
    const size_t len = size - 1;

    size_t delivered = 0;
    PacketParser parser(Network::Direction::ServerToClient);
    parser.setPacketHandler([&](const Network::PacketBase &p, int length) {
        if (length < 8 || length > Network::kMaxPacketSize)
            abort();
        Network::PacketLayout layout;
        if (!Network::packetLayout(Network::Direction::ServerToClient, p.type, &layout))
            abort();
        if (!Network::packetChecksumValid(&p, length))
            abort();
        // The flash decoders must cope with whatever the framing let through.
        if (p.type == Network::S2C_FlashReadPageResult)
            (void)FlashReadDecoder::decodeReadPage(p, length);
        else if (p.type == Network::S2C_FlashReadLz528Result)
            (void)FlashReadDecoder::decodeReadLz528(p, length);
        else if (p.type == Network::S2C_FlashRead528Result)
            (void)FlashReadDecoder::decodeRead528(p, length);
        delivered += size_t(length);
    });
    PacketParser device(Network::Direction::ClientToServer);
    device.setPacketHandler([](const Network::PacketBase &, int length) {
        if (length < 8 || length > Network::kMaxPacketSize)
            abort();
    });
    for (size_t pos = 0; pos < len; pos += size_t(chunk)) {
        const int n = int(std::min(len - pos, size_t(chunk)));
        parser.feed(in + pos, n);
        device.feed(in + pos, n);
    }
    if (delivered > len)
        abort();

    // The client's handlers run only once connected: the input's packets go through a client
    // that is in every state at some point (an identity packet in the input connects it).
    TarrowindFirmware firmware;
    firmware.processIncoming(QByteArray(reinterpret_cast<const char *>(in), int(len)));
    (void)firmware.stats();
    (void)firmware.uniqueId();
    (void)firmware.persistents256();
    return 0;
}
