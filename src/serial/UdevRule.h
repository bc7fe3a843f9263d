#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The program's udev rule for the product's adapters: access for the user at the seat
// (uaccess), ModemManager told to leave the port alone, and a 1 ms latency timer. Installing it
// is the Linux counterpart of the Windows driver-settings repair and runs as root.
namespace UdevRule {
// The text the elevated copy accepts as its one action.
extern const char *const kAction;  // "udev-rule"

QString defaultRulePath();
QByteArray ruleText();

// True when `rulePath` holds exactly ruleText().
bool isInstalled(const QString &rulePath);

// Writes the rule (replacing the file in one step, never writable by others), then runs each
// command (program by absolute path, and arguments) in order with a fixed minimal environment;
// false when the write or any command fails. Logs every step.
bool install(const QString &rulePath, const QList<QStringList> &commands);
// udevadm (/usr/bin, else /bin): reload the rules, re-run them on the tty devices, wait until they are applied.
QList<QStringList> defaultCommands();
}  // namespace UdevRule
