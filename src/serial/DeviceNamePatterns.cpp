#include "DeviceNamePatterns.h"

#include <QRegularExpression>

namespace {
const QRegularExpression &portNamePattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression p(QStringLiteral("^(.*)\\s+\\((COM(\\d+))\\)\\s*$"));
        p.optimize();
        return p;
    }();
    return pattern;
}

const QRegularExpression &hubLocationPattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression p(QStringLiteral("^Port_#(\\d+)\\.Hub_#(\\d+)$"));
        p.optimize();
        return p;
    }();
    return pattern;
}
}  // namespace

namespace DeviceNamePatterns {
void compile()
{
    portNamePattern();
    hubLocationPattern();
}

QString portNameFromDeviceName(const QString &deviceName)
{
    const auto match = portNamePattern().match(deviceName);
    return match.hasMatch() ? match.captured(2) : QString();
}

int hubPortFromLocation(const QString &location)
{
    const auto match = hubLocationPattern().match(location);
    if (!match.hasMatch())
        return -1;
    bool ok = false;
    const int port = match.captured(1).toInt(&ok);
    return ok ? port : -1;
}
}  // namespace DeviceNamePatterns
