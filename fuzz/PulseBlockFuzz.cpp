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
    // The model takes the block's pulses its own way; they must be the decoder's, entry for
    // entry, also when the block meets a log that ends at or after its base time.
    PulseLog log, expected;
    const QByteArray chunk(copy, int(size));
    for (int round = 0; round < 2; ++round) {
        log.appendRawDataNoSignal(chunk);
        if (result == PulseBlockDecoder::Result::Decoded) {
            expected.addPulsesNoSignal(block.baseTime, 0);
            for (const auto &out : block.outputs)
                expected.addPulsesNoSignal(out.time, out.count);
        }
        if (round == 0 && int64_t(total) != log.totalPulseCount())
            std::abort();
    }
    if (log.totalPulseCount() != expected.totalPulseCount() || log.entries().size() != expected.entries().size())
        std::abort();
    for (size_t i = 0; i < log.entries().size(); ++i) {
        if (log.entries()[i].time != expected.entries()[i].time ||
            log.entries()[i].count != expected.entries()[i].count)
            std::abort();
    }
    if (log.rawData().size() != 2 * int(size))
        std::abort();
    std::free(copy);
    return 0;
}
