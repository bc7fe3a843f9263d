#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

// One sub-command of tarrowind-cli. `run` gets the arguments after the command name and
// returns the exit status (0 success).
struct CliCommand {
    QString name;
    QString usage;    // e.g. "log-info FILE [--json]"
    QString summary;  // one line for the help text
    std::function<int(const QStringList &args)> run;
};

namespace Cli {
// Prints "tarrowind-cli: <message>" on stderr and returns the failure status 1.
int fail(const QString &message);
// Writes text (no newline added) or a JSON document (indented) to stdout.
void print(const QString &text);
void printJson(const QJsonObject &object);
void printJson(const QJsonDocument &document);

// Runs the event loop until `done` holds; false when `timeoutMs` (>= 0) passed first.
bool waitFor(const std::function<bool()> &done, int timeoutMs = -1);

// Small argument helpers: flags ("--json"), options with a value ("--port NAME") and the
// positional arguments left over.
bool takeFlag(QStringList &args, const QString &flag);
bool takeOption(QStringList &args, const QString &option, QString *value);
// True when nothing starting with "--" is left; otherwise fails with an "unknown option" text.
bool noUnknownOptions(const QStringList &args, QString *error);
}  // namespace Cli
