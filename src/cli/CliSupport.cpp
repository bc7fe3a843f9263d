#include "CliSupport.h"

#include <algorithm>
#include <cstdio>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {
const QString kProgram = QStringLiteral("tarrowind-cli");

QCommandLineOption helpOption()
{
    return Cli::flag({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("show this help"));
}

QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// "-o, --output FILE" as the help lists an option.
QString optionLabel(const QCommandLineOption &o)
{
    QStringList names;
    for (const QString &n : o.names())
        names << dashed(n);
    QString label = names.join(QStringLiteral(", "));
    if (!o.valueName().isEmpty())
        label += QLatin1Char(' ') + o.valueName();
    return label;
}

QString optionTable(const QList<QCommandLineOption> &options)
{
    int width = 0;
    for (const auto &o : options)
        width = std::max(width, int(optionLabel(o).size()));
    QString text;
    for (const auto &o : options)
        text += QStringLiteral("  %1  %2\n").arg(optionLabel(o), -width).arg(o.description());
    return text;
}

QList<QCommandLineOption> programOptions()
{
    return {Cli::portOption(), helpOption(),
            Cli::flag({QStringLiteral("version")}, QStringLiteral("print the program's version"))};
}

QString programHelp(const std::vector<CliCommand> &commands)
{
    QString text = QStringLiteral("usage: %1 [--port PORT] COMMAND [ARGS...]\n\ncommands:\n").arg(kProgram);
    for (const auto &c : commands)
        text += QStringLiteral("  %1\n      %2\n").arg(c.usage, c.summary);
    text += QStringLiteral("\noptions:\n") + optionTable(programOptions());
    text += QStringLiteral("\n\"%1 COMMAND --help\" describes one command.\n").arg(kProgram);
    return text;
}

QString commandHelp(const CliCommand &c)
{
    return QStringLiteral("usage: %1 %2\n\n%3\n\noptions:\n").arg(kProgram, c.usage, c.summary) +
           optionTable(c.options + QList<QCommandLineOption>{helpOption()});
}

// The parser's own complaint for what is not an unknown option ("Missing value after
// '--timeout'."), in the lower-case one-line style of the other errors.
QString parserError(const QCommandLineParser &parser, const QStringList &arguments)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        // As typed: "-x" and "--x" both reach the parser as the name "x".
        const QString name = unknown.first();
        for (const QString &a : arguments) {
            const QString spelled = a.section(QLatin1Char('='), 0, 0);
            if (spelled == QLatin1Char('-') + name || spelled == QStringLiteral("--") + name)
                return QStringLiteral("unknown option %1").arg(spelled);
        }
        return QStringLiteral("unknown option %1").arg(dashed(name));
    }
    QString text = parser.errorText();
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

// The arguments with every positional one moved behind "--", in order. A word with one dash
// that names none of the options is a value, not a mistake: a negative number, or a text
// for set-var that starts with "-". Unknown "--" words stay options, for the parser to refuse.
QStringList positionalsLast(const QList<QCommandLineOption> &options, const QStringList &arguments)
{
    auto find = [&](const QString &name) -> const QCommandLineOption * {
        for (const auto &o : options) {
            if (o.names().contains(name))
                return &o;
        }
        return nullptr;
    };
    QStringList front, positional;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == QLatin1String("--")) {
            positional += arguments.mid(i + 1);
            break;
        }
        const bool doubleDash = a.startsWith(QLatin1String("--"));
        const QString name = a.mid(doubleDash ? 2 : 1).section(QLatin1Char('='), 0, 0);
        const QCommandLineOption *o = a.startsWith(QLatin1Char('-')) && a.size() > 1 ? find(name) : nullptr;
        if (!o && !doubleDash) {
            positional << a;
            continue;
        }
        front << a;
        // The value of "--option VALUE" is taken whatever it looks like. Without one, the
        // option stays last for the parser to report (the positional arguments no longer matter).
        if (o && !o->valueName().isEmpty() && !a.contains(QLatin1Char('='))) {
            if (i + 1 == arguments.size())
                return front;
            front << arguments[++i];
        }
    }
    return front + QStringList{QStringLiteral("--")} + positional;
}

int runCommand(const CliCommand &c, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help = helpOption();
    const QList<QCommandLineOption> options = c.options + QList<QCommandLineOption>{help};
    parser.addOptions(options);
    const bool parsed = parser.parse(QStringList{c.name} + positionalsLast(options, arguments));
    if (parser.isSet(help)) {
        Cli::print(commandHelp(c));
        return 0;
    }
    if (!parsed)
        return Cli::fail(parserError(parser, arguments));
    // One value per option: a second one would otherwise quietly win.
    for (const auto &o : c.options) {
        if (!o.valueName().isEmpty() && parser.values(o).size() > 1)
            return Cli::fail(QStringLiteral("%1 given more than once").arg(dashed(o.names().constLast())));
    }
    return c.run(parser);
}

const CliCommand *findCommand(const std::vector<CliCommand> &commands, const QString &name)
{
    for (const auto &c : commands) {
        if (c.name == name)
            return &c;
    }
    return nullptr;
}
}  // namespace

namespace Cli {
namespace {
bool isControl(char16_t c)
{
    return (c < 0x20 && c != u'\t' && c != u'\n') || (c >= 0x7f && c <= 0x9f);
}

// Where the escape sequence starting at `i` (ESC or a C1 introducer) ends, one past its last
// character. Control strings (OSC, DCS, APC, PM, SOS) run to BEL or ST; CSI to its final byte;
// any other escape is two characters long. An unfinished sequence takes the rest of the text.
int escapeEnd(const QString &text, int i)
{
    const int n = text.size();
    char16_t kind = text.at(i).unicode();
    int j = i + 1;
    if (kind == 0x1b) {
        if (j >= n)
            return n;
        // Intermediate bytes (charset choices: ESC ( B), then the final one.
        while (j < n && text.at(j).unicode() >= 0x20 && text.at(j).unicode() < 0x30)
            ++j;
        if (j >= n)
            return n;
        const char16_t next = text.at(j).unicode();
        ++j;
        if (j > i + 2 || next < 0x40 || next > 0x5f)
            return j;
        kind = char16_t(next + 0x40);  // ESC [ is CSI, ESC ] is OSC, ...
    }
    if (kind == 0x9b) {  // CSI: parameter and intermediate bytes, then one final byte
        while (j < n && text.at(j).unicode() >= 0x20 && text.at(j).unicode() < 0x40)
            ++j;
        return std::min(n, j + 1);
    }
    if (kind == 0x90 || kind == 0x98 || kind == 0x9d || kind == 0x9e || kind == 0x9f) {
        for (; j < n; ++j) {
            const char16_t c = text.at(j).unicode();
            if (c == 0x07 || c == 0x9c)
                return j + 1;
            if (c == 0x1b && j + 1 < n && text.at(j + 1) == QLatin1Char('\\'))
                return j + 2;
        }
        return n;
    }
    return j;
}
}  // namespace

QString terminalText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size();) {
        const char16_t c = text.at(i).unicode();
        if (c == 0x1b || (c >= 0x80 && c <= 0x9f)) {
            i = escapeEnd(text, i);
            continue;
        }
        if (!isControl(c))
            out += text.at(i);
        ++i;
    }
    return out;
}

int fail(const QString &message)
{
    fprintf(stderr, "tarrowind-cli: %s\n", terminalText(message).toLocal8Bit().constData());
    fflush(stderr);
    return 1;
}

namespace {
void writeOut(const QByteArray &bytes)
{
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}
}  // namespace

void print(const QString &text)
{
    writeOut(terminalText(text).toUtf8());
}

void printJson(const QJsonObject &object)
{
    printJson(QJsonDocument(object));
}

void printJson(const QJsonDocument &document)
{
    writeOut(document.toJson(QJsonDocument::Indented));
}

bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (timeoutMs >= 0 && clock.elapsed() > timeoutMs)
            return done();
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

QCommandLineOption flag(const QStringList &names, const QString &description)
{
    return QCommandLineOption(names, description);
}

QCommandLineOption option(const QStringList &names, const QString &valueName, const QString &description)
{
    return QCommandLineOption(names, description, valueName);
}

QCommandLineOption jsonOption()
{
    return flag({QStringLiteral("json")}, QStringLiteral("print JSON instead of text"));
}

QCommandLineOption portOption()
{
    return option({QStringLiteral("port")}, QStringLiteral("PORT"),
                  QStringLiteral("the logger's serial port (a name such as ttyUSB0, or a path)"));
}

int dispatch(const QStringList &arguments, const std::vector<CliCommand> &commands)
{
    if (arguments.isEmpty()) {
        print(programHelp(commands));
        return 2;
    }
    // Options before the command belong to the program; everything from the command on is the
    // command's, so a command may have options of the same name (firmware-build --version).
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QList<QCommandLineOption> options = programOptions();
    const QCommandLineOption &port = options[0];
    const QCommandLineOption &help = options[1];
    const QCommandLineOption &version = options[2];
    parser.addOptions(options);
    if (!parser.parse(QStringList{kProgram} + arguments))
        return fail(parserError(parser, arguments) + QStringLiteral(" (try --help)"));
    if (parser.values(port).size() > 1)
        return fail(QStringLiteral("--port given more than once"));

    QStringList rest = parser.positionalArguments();
    const QString name = rest.isEmpty() ? QString() : rest.takeFirst();
    if (parser.isSet(help) || name == QLatin1String("help")) {
        const QString topic = name == QLatin1String("help") ? rest.value(0) : name;
        const CliCommand *c = topic.isEmpty() ? nullptr : findCommand(commands, topic);
        if (!topic.isEmpty() && !c)
            return fail(QStringLiteral("unknown command '%1' (try --help)").arg(topic));
        print(c ? commandHelp(*c) : programHelp(commands));
        return 0;
    }
    if (parser.isSet(version)) {
        print(QStringLiteral("%1 %2\n").arg(kProgram, QCoreApplication::applicationVersion()));
        return 0;
    }
    if (name.isEmpty()) {
        if (parser.isSet(port))
            return fail(QStringLiteral("missing command after --port"));
        print(programHelp(commands));
        return 2;
    }
    const CliCommand *c = findCommand(commands, name);
    if (!c)
        return fail(QStringLiteral("unknown command '%1' (try --help)").arg(name));
    if (parser.isSet(port))
        rest << QStringLiteral("--port") << parser.value(port);
    return runCommand(*c, rest);
}

const CliCommand *commandFor(const QStringList &arguments, const std::vector<CliCommand> &commands)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addOptions(programOptions());
    if (!parser.parse(QStringList{kProgram} + arguments) || parser.positionalArguments().isEmpty())
        return nullptr;
    return findCommand(commands, parser.positionalArguments().first());
}
}  // namespace Cli

QCommandLineOption Cli::quietOption()
{
    return flag({QStringLiteral("quiet")}, QStringLiteral("print no progress"));
}

namespace {
bool stderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}
}  // namespace

Cli::Progress::Progress(bool quiet) : m_quiet(quiet), m_terminal(stderrIsTerminal()) {}

Cli::Progress::~Progress()
{
    if (m_open)
        end();
}

void Cli::Progress::write(const QString &text)
{
    fputs(text.toLocal8Bit().constData(), stderr);
    fflush(stderr);
}

void Cli::Progress::update(const QString &text)
{
    if (m_quiet)
        return;
    if (m_terminal) {
        // Blanks wipe what a longer report left on the line.
        write(QLatin1Char('\r') + text.leftJustified(m_width));
        m_width = text.size();
        m_open = true;
        return;
    }
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    m_pending = text;
    if (m_lastLine >= 0 && clock.elapsed() - m_lastLine < 1000)
        return;
    m_lastLine = clock.elapsed();
    if (text != m_written)
        write(text + QLatin1Char('\n'));
    m_written = text;
    m_pending.clear();
}

void Cli::Progress::end(const QString &text)
{
    if (m_quiet)
        return;
    const QString last = text.isEmpty() ? m_pending : text;
    if (m_terminal) {
        if (!last.isEmpty())
            write(QLatin1Char('\r') + last.leftJustified(m_width));
        if (m_open || !last.isEmpty())
            write(QStringLiteral("\n"));
    } else if (!last.isEmpty() && last != m_written) {
        write(last + QLatin1Char('\n'));
    }
    m_written.clear();
    m_open = false;
    m_width = 0;
    m_pending.clear();
    m_lastLine = -1;
}

void Cli::Progress::line(const QString &text)
{
    if (m_quiet)
        return;
    if (m_open)
        end();
    write(text + QLatin1Char('\n'));
}
