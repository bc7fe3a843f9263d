#pragma once

#include <QByteArray>
#include <QVariantMap>

#include <cstdint>
#include <functional>

class QIODevice;

// The raw log file: 520-byte pulse-block payloads with JSON metadata items anywhere between
// them (magic, length, JSON object).
class RawLogFile
{
public:
    static constexpr uint32_t kMetaDataMagic = 0x1129B4BDu;
    static constexpr int kChunkSize = 520;
    static constexpr uint32_t kMaxMetaDataSize = 1048576;

    struct ReadResult {
        bool hasMetaData = false;  // at least one item parsed to an object
        QVariantMap metaData;      // the last such object
        int chunkCount = 0;
        int damagedMetaDataItems = 0;
        qint64 discardedTailBytes = 0;  // a final partial chunk
    };

    // Reads items until the data ends; every complete chunk goes to `onChunk` in order.
    static ReadResult read(QIODevice &in, const std::function<void(const QByteArray &)> &onChunk);

    // The same walk over a file already in memory. Every complete chunk is named by its offset in
    // `data`, in order; `onChunk` may overwrite bytes before the end of the chunk it is given
    // (a loader moving chunks down over the metadata items), never bytes after it.
    static ReadResult parse(const char *data, qint64 size, const std::function<void(qint64 offset)> &onChunk);

    // The metadata item for `metaData` (indented JSON).
    static QByteArray metaDataItem(const QVariantMap &metaData);
};
