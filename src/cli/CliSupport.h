#pragma once

// How the command-line tool reports failure: each command returns its exit status; a failure
// is one line "tarrowind-cli: <reason>" on stderr (Cli::fail) and status 1, with nothing on
// stdout. Helpers that can fail return bool with a QString *error out-parameter.

#include <functional>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

// One sub-command of tarrowind-cli. The dispatcher parses the arguments after the command name
// against `options` (plus -h/--help), so `run` only sees a parse without unknown options,
// repeated values or missing values; it returns the exit status (0 success).
struct CliCommand {
    QString name;
    QString usage;    // e.g. "log-info FILE.rlog [--json]"
    QString summary;  // one line for the help text
    QList<QCommandLineOption> options;
    std::function<int(const QCommandLineParser &args)> run;
    // Draws with fonts and a paint engine: runs under a GUI application (on the offscreen
    // platform, so no display is needed) instead of a core one.
    bool gui = false;
};

namespace Cli {
// Prints "tarrowind-cli: <message>" (through terminalText) on stderr and returns the failure status 1.
int fail(const QString &message);
// Text as a terminal shows it without taking orders from it: escape sequences (ESC and C1
// introduced, up to their final byte or string terminator) and every other control character
// but tab and line feed are dropped. Names, strings and paths in plain-text output come from a
// logger, a server or a file.
QString terminalText(const QString &text);
// Writes text (no newline added, through terminalText) or a JSON document (indented, exactly as
// JSON escapes it) to stdout.
void print(const QString &text);
void printJson(const QJsonObject &object);
void printJson(const QJsonDocument &document);

// Runs the event loop until `done` holds; false when `timeoutMs` (>= 0) passed first.
bool waitFor(const std::function<bool()> &done, int timeoutMs = -1);

// Option builders for the command tables: a flag ("--json") and an option with a value
// ("-o FILE"). Single-letter names are written with one dash, longer ones with two.
QCommandLineOption flag(const QStringList &names, const QString &description);
QCommandLineOption option(const QStringList &names, const QString &valueName, const QString &description);
QCommandLineOption jsonOption();

// "--quiet": no progress at all.
QCommandLineOption quietOption();

// Progress on stderr. On a terminal one line is rewritten in place; anywhere else (a log, a
// pipe) each report is a whole line, at most one a second, so reports never run together.
// A quiet reporter prints nothing.
class Progress
{
public:
    explicit Progress(bool quiet);
    ~Progress();
    // A report that a later one replaces; shown at once on a terminal, else when due.
    void update(const QString &text);
    // The last report as a whole line, then a new line for what follows.
    void end(const QString &text = QString());
    // A line of its own that stays (such as "saved FILE").
    void line(const QString &text);

private:
    void write(const QString &text);
    bool m_quiet;
    bool m_terminal;
    bool m_open = false;
    int m_width = 0;
    qint64 m_lastLine = -1;
    QString m_pending;
    QString m_written;  // the last whole line, not repeated
};

// The "--port PORT" option that reaches a logger; accepted before the command or after it.
QCommandLineOption portOption();

// Runs the command line `arguments` (without the program name) against `commands`:
//   [--port PORT] COMMAND [ARGS...]   the command, with the port handed on to it
//   -h, --help, help [COMMAND]        the program's (or a command's) help, status 0
//   --version                         "tarrowind-cli VERSION", status 0
// Nothing at all prints the help with status 2; every other mistake is one line and status 1.
int dispatch(const QStringList &arguments, const std::vector<CliCommand> &commands);
// The command that `dispatch` would run for `arguments`, or null (help, version, mistakes).
const CliCommand *commandFor(const QStringList &arguments, const std::vector<CliCommand> &commands);
}  // namespace Cli
