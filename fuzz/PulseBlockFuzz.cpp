// Pulse-block decoder on arbitrary payloads: never reads outside the payload, outputs stay in
// time order with positive counts, and the model takes every decoded pulse.
#include "pulselog/PulseBlockDecoder.h"
#include "pulselog/PulseLog.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;

    // An exact-size heap copy, so that any read past the end is caught.
    char *copy = static_cast<char *>(std::malloc(size ? size : 1));
    if (size)
        std::memcpy(copy, data, size);
    PulseBlock block;
    const auto result = PulseBlockDecoder::decode(copy, size, block);
    uint64_t total = 0;
    if (result == PulseBlockDecoder::Result::Decoded) {
        if (block.entriesRead > block.entryCount)
            std::abort();
        for (size_t i = 0; i < block.outputs.size(); ++i) {
            if (block.outputs[i].count == 0)
                std::abort();
            if (i > 0 && block.outputs[i].time <= block.outputs[i - 1].time)
                std::abort();
            total += block.outputs[i].count;
        }
    }
    PulseLog log;
    log.appendRawDataNoSignal(QByteArray(copy, int(size)));
    if (int64_t(total) != log.totalPulseCount())
        std::abort();
    if (log.rawData().size() != int(size))
        std::abort();
    std::free(copy);
    return 0;
}
