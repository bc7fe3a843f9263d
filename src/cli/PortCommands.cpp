#include "PortCommands.h"

#include "serial/AdapterRepair.h"

#include <QJsonObject>

namespace {
QString describe(const QString &name, const PortInfo &info)
{
    QString line = name;
    QStringList adapter;
    if (!info.manufacturer.isEmpty())
        adapter << info.manufacturer;
    if (!info.product.isEmpty())
        adapter << info.product;
    if (!adapter.isEmpty())
        line += QStringLiteral(" (%1)").arg(adapter.join(QLatin1Char(' ')));
    if (!info.serialNumber.isEmpty())
        line += QStringLiteral(" serial %1").arg(info.serialNumber);
    if (info.autodetected)
        line += QStringLiteral(" [logger adapter]");
    if (info.eepromFixNeeded)
        line += QStringLiteral(" [EEPROM update offered]");
    if (!info.elevatedFixPath.isEmpty())
        line += QStringLiteral(" [driver repair: %1]").arg(info.elevatedFixPath);
    return line + QLatin1Char('\n');
}

int runPorts(const QCommandLineParser &args)
{
    const bool json = args.isSet(QStringLiteral("json"));
    const QStringList extra = args.positionalArguments();
    if (!extra.isEmpty())
        return Cli::fail(QStringLiteral("unexpected argument '%1'").arg(extra.first()));
    const PortInfoMap ports = enumeratePorts();
    if (json) {
        Cli::printJson(QJsonObject::fromVariantMap(portInfoMapToVariantMap(ports)));
        return 0;
    }
    QString text;
    for (auto it = ports.cbegin(); it != ports.cend(); ++it)
        text += describe(it.key(), it.value());
    Cli::print(text);
    return 0;
}
}  // namespace

std::vector<CliCommand> portCommands()
{
    return {{QStringLiteral("ports"),
             QStringLiteral("ports [--json]"),
             QStringLiteral("list the serial ports and what is known about their adapters"),
             {Cli::jsonOption()},
             runPorts}};
}
