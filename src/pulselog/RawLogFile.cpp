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

enum class ItemResult { NotMetaData, Parsed, Damaged, Stuck };

ItemResult readMetaDataItem(QIODevice &in, QVariantMap *metaData)
{
    const QByteArray header = in.peek(8);
    if (header.size() != 8 || readU32Le(header.constData()) != RawLogFile::kMetaDataMagic)
        return ItemResult::NotMetaData;
    if (in.skip(8) != 8) {
        qWarning() << "Skip failed?";
        return ItemResult::Stuck;
    }
    const uint32_t length = readU32Le(header.constData() + 4);
    if (length > RawLogFile::kMaxMetaDataSize) {
        qWarning() << "Metadata is abnormally large" << length;
        return ItemResult::Damaged;
    }
    const QByteArray json = in.read(qint64(length));
    if (json.size() != int(length)) {
        qWarning() << "Metadata missing or damaged";
        return ItemResult::Damaged;
    }
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
    ReadResult result;
    for (;;) {
        QVariantMap metaData;
        const ItemResult item = readMetaDataItem(in, &metaData);
        if (item == ItemResult::Parsed) {
            result.metaData = metaData;
            result.hasMetaData = true;
            continue;
        }
        if (item == ItemResult::Stuck) {
            ++result.damagedMetaDataItems;
            break;
        }
        if (item == ItemResult::Damaged) {
            ++result.damagedMetaDataItems;
            continue;
        }
        const QByteArray chunk = in.read(kChunkSize);
        if (chunk.size() < kChunkSize) {
            result.discardedTailBytes = chunk.size();
            break;
        }
        ++result.chunkCount;
        onChunk(chunk);
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
