#include "RawLogFile.h"

#include <QDebug>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {
uint32_t readU32Le(const char *p)
{
    return uint32_t(uint8_t(p[0])) | uint32_t(uint8_t(p[1])) << 8 | uint32_t(uint8_t(p[2])) << 16 |
           uint32_t(uint8_t(p[3])) << 24;
}

void appendU32Le(QByteArray &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

enum class ItemResult { NotMetaData, Parsed, Damaged };

// The item at `*pos` when it is a metadata item; moves `*pos` past what it consumed.
ItemResult readMetaDataItem(const char *data, qint64 size, qint64 *pos, QVariantMap *metaData)
{
    if (size - *pos < 8 || readU32Le(data + *pos) != RawLogFile::kMetaDataMagic)
        return ItemResult::NotMetaData;
    const uint32_t length = readU32Le(data + *pos + 4);
    *pos += 8;
    if (length > RawLogFile::kMaxMetaDataSize) {
        qWarning() << "Metadata is abnormally large" << length;
        return ItemResult::Damaged;
    }
    if (size - *pos < qint64(length)) {
        *pos = size;
        qWarning() << "Metadata missing or damaged";
        return ItemResult::Damaged;
    }
    const QByteArray json = QByteArray::fromRawData(data + *pos, int(length));
    *pos += length;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (!doc.isObject()) {
        qWarning() << "Metadata parse failed to return an object" << error.errorString();
        return ItemResult::Damaged;
    }
    *metaData = doc.object().toVariantMap();
    return ItemResult::Parsed;
}
}  // namespace

RawLogFile::ReadResult RawLogFile::read(QIODevice &in, const std::function<void(const QByteArray &)> &onChunk)
{
    const QByteArray bytes = in.readAll();
    return parse(bytes.constData(), bytes.size(),
                 [&](qint64 offset) { onChunk(QByteArray(bytes.constData() + offset, kChunkSize)); });
}

RawLogFile::ReadResult RawLogFile::parse(const char *data, qint64 size, const std::function<void(qint64)> &onChunk)
{
    ReadResult result;
    qint64 pos = 0;
    for (;;) {
        QVariantMap metaData;
        const ItemResult item = readMetaDataItem(data, size, &pos, &metaData);
        if (item == ItemResult::Parsed) {
            result.metaData = metaData;
            result.hasMetaData = true;
            continue;
        }
        if (item == ItemResult::Damaged) {
            ++result.damagedMetaDataItems;
            continue;
        }
        if (size - pos < kChunkSize) {
            result.discardedTailBytes = size - pos;
            break;
        }
        ++result.chunkCount;
        onChunk(pos);
        pos += kChunkSize;
    }
    return result;
}

QByteArray RawLogFile::metaDataItem(const QVariantMap &metaData)
{
    const QByteArray json = QJsonDocument(QJsonObject::fromVariantMap(metaData)).toJson(QJsonDocument::Indented);
    QByteArray item;
    item.reserve(8 + json.size());
    appendU32Le(item, kMetaDataMagic);
    appendU32Le(item, uint32_t(json.size()));
    item.append(json);
    return item;
}
