#include "VariablesBackupFile.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <cmath>
#include <cstring>

namespace {

const QString kFormat = QStringLiteral("Tarrowind variables backup");

template <typename E> QString keyOf(int value)
{
    const char *key = QMetaEnum::fromType<E>().valueToKey(value);
    return key ? QString::fromLatin1(key) : QString::number(value);
}

// The index of a variable name the client knows, or -1 (the ...Count enumerators are not names).
template <typename E> int indexOf(const QString &name, int count)
{
    bool ok = false;
    const int value = QMetaEnum::fromType<E>().keyToValue(name.toLatin1().constData(), &ok);
    return ok && value >= 0 && value < count ? value : -1;
}

// The text the 32 bytes hold when they are exactly that text's UTF-8 and zero fill.
bool plainText(const Network::uint256_t &value, QString *text)
{
    const char *bytes = reinterpret_cast<const char *>(value.bytes);
    const int length = int(qstrnlen(bytes, sizeof value.bytes));
    *text = QString::fromUtf8(bytes, length);
    const QByteArray again = text->toUtf8();
    if (again.size() != length || std::memcmp(again.constData(), bytes, size_t(length)) != 0)
        return false;
    for (int i = length; i < int(sizeof value.bytes); ++i) {
        if (value.bytes[i] != 0)
            return false;
    }
    return true;
}

bool readText(const QJsonValue &v, Network::uint256_t *out)
{
    *out = Network::uint256_t();
    if (v.isString()) {
        const QByteArray utf8 = v.toString().toUtf8();
        if (utf8.size() > int(sizeof out->bytes))
            return false;
        std::memcpy(out->bytes, utf8.constData(), size_t(utf8.size()));
        return true;
    }
    const QJsonObject o = v.toObject();
    if (!v.isObject() || o.size() != 1 || !o.value(QStringLiteral("hex")).isString())
        return false;
    const QString hex = o.value(QStringLiteral("hex")).toString();
    if (hex.size() != 64 || hex.contains(QRegularExpression(QStringLiteral("[^0-9a-fA-F]"))))
        return false;
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    std::memcpy(out->bytes, bytes.constData(), sizeof out->bytes);
    return true;
}

bool readNumber16(const QJsonValue &v, uint16_t *out)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!(d >= 0 && d <= 65535) || std::floor(d) != d)
        return false;
    *out = uint16_t(d);
    return true;
}

// Reads one section of variables: every key must name a variable of the section, and every
// variable of the section must be there.
template <typename E, typename Read>
bool readSection(const QJsonObject &root, const QString &section, int count, Read read, QString *error)
{
    const QJsonValue value = root.value(section);
    if (!value.isObject()) {
        *error = QStringLiteral("The file has no \"%1\" section.").arg(section);
        return false;
    }
    const QJsonObject o = value.toObject();
    QSet<int> seen;
    for (auto it = o.begin(); it != o.end(); ++it) {
        const int index = indexOf<E>(it.key(), count);
        if (index < 0) {
            *error =
                QStringLiteral("The file holds the variable \"%1\", which this program does not know.").arg(it.key());
            return false;
        }
        if (!read(index, it.value())) {
            *error = QStringLiteral("The file's value for %1 is not one the variable can hold.").arg(it.key());
            return false;
        }
        seen.insert(index);
    }
    for (int i = 0; i < count; ++i) {
        if (!seen.contains(i)) {
            *error = QStringLiteral("The file lacks the variable %1.").arg(keyOf<E>(i));
            return false;
        }
    }
    return true;
}

}  // namespace

QString VariablesBackupFile::modelKey(Network::ModelType model)
{
    return keyOf<Network::ModelType>(int(model));
}

QString VariablesBackupFile::name16(int index)
{
    return keyOf<Network::PersistentName16>(index);
}

QString VariablesBackupFile::name256(int index)
{
    return keyOf<Network::PersistentName256>(index);
}

QByteArray VariablesBackupFile::toJson() const
{
    QJsonObject logger;
    logger[QStringLiteral("serialNumber")] = identity.serialNumber;
    logger[QStringLiteral("uniqueId")] = identity.uniqueId;
    logger[QStringLiteral("model")] = identity.model;
    logger[QStringLiteral("modelRevision")] = int(identity.modelRevision);
    logger[QStringLiteral("firmwareVersion")] = QStringLiteral("%1.%2.%3")
                                                    .arg(identity.majorVersion)
                                                    .arg(identity.minorVersion)
                                                    .arg(identity.patchLevelVersion);
    logger[QStringLiteral("buildType")] = identity.buildType;

    QJsonObject numbers;
    for (int i = 0; i < Network::kPersistent16Count; ++i)
        numbers[name16(i)] = int(persistents16[i]);
    QJsonObject texts;
    for (int i = 0; i < Network::kPersistent256Count; ++i) {
        QString text;
        if (plainText(persistents256[i], &text)) {
            texts[name256(i)] = text;
        } else {
            const QByteArray raw(reinterpret_cast<const char *>(persistents256[i].bytes), 32);
            texts[name256(i)] = QJsonObject{{QStringLiteral("hex"), QString::fromLatin1(raw.toHex())}};
        }
    }

    QJsonObject root;
    root[QStringLiteral("format")] = kFormat;
    root[QStringLiteral("formatVersion")] = kFormatVersion;
    root[QStringLiteral("savedAt")] = savedAt.toUTC().toString(Qt::ISODate);
    root[QStringLiteral("logger")] = logger;
    root[QStringLiteral("persistents16")] = numbers;
    root[QStringLiteral("persistents256")] = texts;
    // Line breaks only occur between tokens (strings escape theirs), so this is safe.
    return QJsonDocument(root).toJson(QJsonDocument::Indented).replace("\n", "\r\n");
}

bool VariablesBackupFile::fromJson(const QByteArray &data, VariablesBackupFile *out, QString *error)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("The file is damaged or not a variables backup (%1 at byte %2).")
                     .arg(parseError.errorString())
                     .arg(parseError.offset);
        return false;
    }
    const QJsonObject root = doc.object();
    if (!doc.isObject() || root.value(QStringLiteral("format")).toString() != kFormat) {
        *error = QStringLiteral("The file is not a variables backup.");
        return false;
    }
    const int version = root.value(QStringLiteral("formatVersion")).toInt(-1);
    if (version < 1) {
        *error = QStringLiteral("The file is damaged: it gives no format version.");
        return false;
    }
    if (version > kFormatVersion) {
        *error = QStringLiteral("The file was written by a newer version of this program (format %1).").arg(version);
        return false;
    }
    static const QSet<QString> sections = {QStringLiteral("format"),        QStringLiteral("formatVersion"),
                                           QStringLiteral("savedAt"),       QStringLiteral("logger"),
                                           QStringLiteral("persistents16"), QStringLiteral("persistents256")};
    for (const QString &key : root.keys()) {
        if (!sections.contains(key)) {
            *error = QStringLiteral("The file holds a section \"%1\", which this program does not know.").arg(key);
            return false;
        }
    }

    VariablesBackupFile file;
    const QJsonObject logger = root.value(QStringLiteral("logger")).toObject();
    file.identity.model = logger.value(QStringLiteral("model")).toString();
    if (file.identity.model.isEmpty()) {
        *error = QStringLiteral("The file is damaged: it does not say which model of logger it was made on.");
        return false;
    }
    file.identity.serialNumber = logger.value(QStringLiteral("serialNumber")).toString();
    file.identity.uniqueId = logger.value(QStringLiteral("uniqueId")).toString();
    file.identity.modelRevision = uint16_t(logger.value(QStringLiteral("modelRevision")).toInt());
    file.identity.buildType = logger.value(QStringLiteral("buildType")).toString();
    const QStringList version3 = logger.value(QStringLiteral("firmwareVersion")).toString().split(QLatin1Char('.'));
    if (version3.size() == 3) {
        file.identity.majorVersion = uint16_t(version3[0].toUInt());
        file.identity.minorVersion = uint16_t(version3[1].toUInt());
        file.identity.patchLevelVersion = version3[2].toUInt();
    }
    file.savedAt = QDateTime::fromString(root.value(QStringLiteral("savedAt")).toString(), Qt::ISODate);

    if (!readSection<Network::PersistentName16>(
            root, QStringLiteral("persistents16"), Network::kPersistent16Count,
            [&](int i, const QJsonValue &v) { return readNumber16(v, &file.persistents16[i]); }, error) ||
        !readSection<Network::PersistentName256>(
            root, QStringLiteral("persistents256"), Network::kPersistent256Count,
            [&](int i, const QJsonValue &v) { return readText(v, &file.persistents256[i]); }, error))
        return false;
    *out = file;
    return true;
}
