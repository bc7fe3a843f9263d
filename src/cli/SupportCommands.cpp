#include "SupportCommands.h"

#include "diagnostics/StoredSettings.h"
#include "diagnostics/SupportBundle.h"
#include "LoggerConnection.h"
#include "network/TarrowindFirmware.h"
#include "serial/AdapterRepair.h"

#include <QStandardPaths>

#include <memory>

namespace {
// Every request expires well within this on its own; the bound only guards the wait.
constexpr int kRequestWaitMs = 10000;

bool refreshed(LoggerConnection &c, uint16_t id)
{
    TarrowindFirmware::PacketOutcome outcome = TarrowindFirmware::PacketOutcome_Expired;
    return c.waitForRequest(id, kRequestWaitMs, &outcome) && outcome == TarrowindFirmware::PacketOutcome_Handled;
}

int runSupportBundle(const QCommandLineParser &args)
{
    const QString output = args.value(QStringLiteral("o"));
    if (output.isEmpty())
        return Cli::fail(QStringLiteral("support-bundle needs -o FILE.zip"));
    if (!args.positionalArguments().isEmpty())
        return Cli::fail(QStringLiteral("unexpected argument '%1'").arg(args.positionalArguments().first()));

    // The logger is optional: a bundle matters most when connecting fails, and then the
    // attempt's traffic is in it.
    QVariantMap logger;
    QString note;
    if (args.isSet(QStringLiteral("port"))) {
        LoggerConnection::Options o;
        QString error;
        if (!LoggerConnection::readOptions(args, &o, &error))
            return Cli::fail(error);
        LoggerConnection c;
        if (c.open(o, &error)) {
            TarrowindFirmware &fw = *c.firmware();
            // The connection batch reads the identity but not the statistics.
            if (!refreshed(c, fw.sendGetStats()) || !refreshed(c, fw.sendGetDateTime()))
                note =
                    QStringLiteral("the logger did not answer every request; its identity is included as far as known");
            logger = SupportBundle::loggerSnapshot(&fw);
        } else {
            note = QStringLiteral("logger not included: %1").arg(error);
        }
    }

    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    SupportBundle::Contents contents = SupportBundle::gatherCommon(dataFolder);
    QString settingsError;
    if (!StoredSettings::read(StoredSettings::defaultOfflineStoragePath(), &contents.settingsJson, &settingsError))
        contents.settingsJson.clear();
    contents.ports = portInfoMapToVariantMap(enumeratePorts());
    contents.logger = logger;

    QString error;
    if (!SupportBundle::write(output, contents, &error))
        return Cli::fail(error);
    QString text = QStringLiteral("saved %1\n").arg(output);
    if (!note.isEmpty())
        text += note + QLatin1Char('\n');
    Cli::print(text);
    return 0;
}
}  // namespace

std::vector<CliCommand> supportCommands()
{
    QList<QCommandLineOption> options = LoggerConnection::commandLineOptions();
    options << Cli::option({QStringLiteral("o")}, QStringLiteral("FILE.zip"), QStringLiteral("the zip to write"));
    return {{QStringLiteral("support-bundle"), QStringLiteral("support-bundle -o FILE.zip [--port PORT] [--timeout S]"),
             QStringLiteral("save the logs, settings, ports, logger identity and recent serial traffic in one zip"),
             options, runSupportBundle}};
}
