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

// The rule's file name; below 73 so that the uaccess tag is seen by the seat rules.
extern const char *const kFileName;  // "70-tarrowind-utility.rules"
// Where udev reads rules, in its order of precedence: a file in an earlier folder masks one of
// the same name in a later one. The repair writes into the first (/etc), the package installs
// into /usr/lib.
QStringList ruleFolders();
QByteArray ruleText();

// True when the rule in effect under our file name (the first of `folders` holding one) is
// exactly ruleText().
bool isInstalled(const QStringList &folders);

// Unless isInstalled(folders), writes the rule into the first folder (replacing the file in one
// step, never writable by others); then runs each command (program by absolute path, and
// arguments) in order with a fixed minimal environment. False when the write or any command
// fails. Logs every step.
bool install(const QStringList &folders, const QList<QStringList> &commands);
// udevadm (/usr/bin, else /bin): reload the rules, re-run them on the tty devices, wait until they are applied.
QList<QStringList> defaultCommands();
}  // namespace UdevRule
