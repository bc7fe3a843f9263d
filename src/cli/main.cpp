#include "CliSupport.h"

#include <QCoreApplication>
#include <QTextStream>

#ifdef TW_CLI_PROTOCOLCOMMANDS
#include "ProtocolCommands.h"
#endif
#ifdef TW_CLI_LOGCOMMANDS
#include "LogCommands.h"
#endif
#ifdef TW_CLI_DEVICECOMMANDS
#include "DeviceCommands.h"
#endif
#ifdef TW_CLI_FIRMWARECOMMANDS
#include "FirmwareCommands.h"
#endif
#ifdef TW_CLI_RECORDINGCOMMANDS
#include "RecordingCommands.h"
#endif
#ifdef TW_CLI_PORTCOMMANDS
#include "PortCommands.h"
#endif

namespace {
std::vector<CliCommand> allCommands()
{
    std::vector<CliCommand> commands;
    auto add = [&](std::vector<CliCommand> more) {
        for (auto &c : more)
            commands.push_back(std::move(c));
    };
#ifdef TW_CLI_PROTOCOLCOMMANDS
    add(protocolCommands());
#endif
#ifdef TW_CLI_LOGCOMMANDS
    add(logCommands());
#endif
#ifdef TW_CLI_DEVICECOMMANDS
    add(deviceCommands());
#endif
#ifdef TW_CLI_FIRMWARECOMMANDS
    add(firmwareCommands());
#endif
#ifdef TW_CLI_RECORDINGCOMMANDS
    add(recordingCommands());
#endif
#ifdef TW_CLI_PORTCOMMANDS
    add(portCommands());
#endif
    (void)add;
    return commands;
}

QString helpText(const std::vector<CliCommand> &commands)
{
    QString text = QStringLiteral("usage: tarrowind-cli COMMAND [ARGS...]\n\ncommands:\n");
    for (const auto &c : commands)
        text += QStringLiteral("  %1\n      %2\n").arg(c.usage, c.summary);
    return text;
}
}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrellix"));
    QCoreApplication::setApplicationName(QStringLiteral("Tarrowind Utility"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.9.86"));

    QStringList args = app.arguments().mid(1);
    const auto commands = allCommands();
    if (args.isEmpty() || args[0] == QLatin1String("--help") || args[0] == QLatin1String("help")) {
        Cli::print(helpText(commands));
        return args.isEmpty() ? 2 : 0;
    }
    // Device commands take the port before the command: "--port PORT sessions ...".
    QString port;
    if (args.size() >= 2 && args[0] == QLatin1String("--port")) {
        port = args[1];
        args = args.mid(2);
        if (args.isEmpty())
            return Cli::fail(QStringLiteral("missing command after --port"));
    }
    const QString name = args.takeFirst();
    if (!port.isEmpty())
        args << QStringLiteral("--port") << port;
    for (const auto &c : commands) {
        if (c.name == name)
            return c.run(args);
    }
    return Cli::fail(QStringLiteral("unknown command '%1' (try --help)").arg(name));
}
