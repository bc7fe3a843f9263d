// Raw log files: any bytes load without crashing, keep every complete chunk, and the loaded
// log survives analysis and a save/load round trip in memory.
#include "pulselog/PulseLog.h"
#include "pulselog/RawLogFile.h"

#include <QBuffer>
#include <QDateTime>

#include <cstdint>
#include <cstdlib>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;

    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    PulseLog log;
    const RawLogFile::ReadResult result =
        RawLogFile::read(buffer, [&](const QByteArray &chunk) { log.appendRawDataNoSignal(chunk); });
    if (log.rawData().size() != result.chunkCount * RawLogFile::kChunkSize)
        std::abort();
    if (result.hasMetaData)
        log.setMetaData(result.metaData);

    // Analysis over whatever times the chunks claimed.
    const uint32_t hour = 3600000;
    const int64_t bins = log.timeBinCount(hour);
    const DataSeriesVectorPtr sums = log.asTimeBinsQml(hour, QDateTime(), QDateTime());
    if (bins > 0 && bins <= 1000000 && int64_t(sums->size()) != bins)
        std::abort();
    double sum = 0;
    for (double v : *sums)
        sum += v;
    if (!sums->empty() && int64_t(sum) != log.totalPulseCount())
        std::abort();
    log.timeBinMaximumPulseCount(hour);
    log.buildWindowVL(60.0, 0.0);
    log.dataAsTimeInvertedVL(0, 8, true);
    log.voltageDataVL();
    log.temperatureDataVL();
    if (!log.entries().empty())
        log.dateToBin(QDateTime::fromMSecsSinceEpoch(log.entries().front().time / 1000000), hour);

    // What it would save reads back to the same chunks.
    QByteArray saved = log.rawData() + RawLogFile::metaDataItem(log.metaData());
    QBuffer again(&saved);
    again.open(QIODevice::ReadOnly);
    QByteArray chunks;
    const RawLogFile::ReadResult reread = RawLogFile::read(again, [&](const QByteArray &chunk) { chunks += chunk; });
    (void)reread;
    if (chunks.size() > log.rawData().size())
        std::abort();
    return 0;
}
