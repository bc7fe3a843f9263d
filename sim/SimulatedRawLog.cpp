#include "SimulatedRawLog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <algorithm>

namespace {
constexpr uint32_t kMetaDataMagic = 0x1129B4BDu;

QByteArray metaDataItem(const QVariantMap &metaData)
{
    const QByteArray json = QJsonDocument(QJsonObject::fromVariantMap(metaData)).toJson(QJsonDocument::Indented);
    QByteArray item(8, '\0');
    qToLittleEndian<quint32>(kMetaDataMagic, item.data());
    qToLittleEndian<quint32>(quint32(json.size()), item.data() + 4);
    return item + json;
}
}  // namespace

QByteArray SimulatedRawLog::build(const Options &options)
{
    const WaterUseProfile profile(options.profile);
    const int64_t startTenths = options.startMs / 100;
    const int64_t endTenths = startTenths + std::max<int64_t>(1, int64_t(options.days * 864000.0));
    const int64_t blockTenths = std::max(1, options.blockMinutes) * WaterUseProfile::kTenthsPerMinute;
    const auto pulses = profile.pulses(startTenths, endTenths);

    QByteArray out;
    out.reserve(int((endTenths - startTenths) / blockTenths + 16) * PulseBlockEncoder::kPayloadSize);
    auto newBlock = [&](int64_t base) {
        PulseBlockEncoder enc(PulseBlockEncoder::Kind_TimedEnvironment, base);
        const TimeTypes::Epoch1970::NanosI64 at = base * 100000000;
        const WaterUseProfile::Environment env = profile.environmentAt(at);
        enc.setEnvironment(PulseBlockEncoder::millivolts(env.volts), PulseBlockEncoder::temperatureCode(env.celsius),
                           at);
        return enc;
    };
    PulseBlockEncoder::encodeInBlocks(pulses, startTenths, endTenths, blockTenths, newBlock,
                                      [&out](const PulseBlockEncoder &enc) { out += enc.payload(); });
    if (!options.metaData.isEmpty())
        out += metaDataItem(options.metaData);
    return out;
}
