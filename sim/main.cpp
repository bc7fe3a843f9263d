// tarrowind-sim: the virtual logger on a pseudo-terminal, until SIGINT or SIGTERM.

#include "common/NumericLocale.h"
#include "network/NetworkMetatypes.h"
#include "VirtualLoggerRunner.h"

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <pthread.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {
// A test harness that starts the virtual logger and then dies (aborted by its own time-out, or
// killed) would leave it running, holding the harness's output pipe, so the test runner waits
// for its full time-out before it can report. Under a harness (TW_SIM_EXIT_WITH_PARENT set) the
// virtual logger therefore goes with the process that started it; run by hand it outlives its
// shell as any program does.
void followParentUnderHarness()
{
#ifdef __linux__
    if (qEnvironmentVariableIsEmpty("TW_SIM_EXIT_WITH_PARENT"))
        return;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have gone before the line above: then no signal comes, and init has us.
    if (::getppid() == 1)
        ::_exit(1);
#endif
}

// What the command line sets besides the logger's own configuration.
struct Settings {
    VirtualLoggerConfig config;
    QString linkPath;
    QString truthDir;
    bool delayProbabilityGiven = false;
};

// One option: its group in the help, its name, the value's name (empty for a flag), the help
// text (continuation lines indented as they are printed) and what it sets. `apply` gets the
// value and answers false when it is not acceptable.
struct SimOption {
    const char *group;
    const char *name;
    const char *valueName;
    const char *description;
    std::function<bool(const QString &value, Settings &s)> apply;
};

// Value parsers for the table: false when the text is not a number in the range.
bool toUnsigned(const QString &v, uint32_t *target)
{
    bool ok = false;
    *target = v.toUInt(&ok);
    return ok;
}

bool toInt(const QString &v, int *target, int minimum)
{
    bool ok = false;
    *target = v.toInt(&ok);
    return ok && *target >= minimum;
}

bool toDouble(const QString &v, double *target, double minimum = -HUGE_VAL, double maximum = HUGE_VAL)
{
    bool ok = false;
    *target = v.toDouble(&ok);
    return ok && *target >= minimum && *target <= maximum;
}

bool toProbability(const QString &v, double *target)
{
    return toDouble(v, target, 0.0, 1.0);
}

const SimOption kSimOptions[] = {
    {"Scenario", "seed", "S", "seed of everything random (identity, household, sessions, noise, faults); default 1",
     [](const QString &v, Settings &s) { return toUnsigned(v, &s.config.seed); }},
    {"Scenario", "sessions", "N", "closed logging sessions on the flash (the last file stays open); default 3",
     [](const QString &v, Settings &s) { return toInt(v, &s.config.flash.closedSessions, 0); }},
    {"Scenario", "wrap", "", "let a session run past the end of the flash",
     [](const QString &, Settings &s) {
         s.config.flash.wrapAround = true;
         return true;
     }},
    {"Scenario", "leak", "", "the household has a constant leak of 2-10 L/h (drawn from the seed)",
     [](const QString &, Settings &s) {
         s.config.flash.leak = true;
         return true;
     }},
    {"Scenario", "flapper", "",
     "the household has a leaking toilet flapper: a small refill every\n"
     "10-60 minutes",
     [](const QString &, Settings &s) {
         s.config.flash.flapper = true;
         return true;
     }},
    {"Scenario", "patch-level", "N", "firmware patch level (4040, 4162, 4251, 4300, 4468 gate features); default 4468",
     [](const QString &v, Settings &s) { return toUnsigned(v, &s.config.patchLevel); }},
    {"Scenario", "mode", "firmware|bootloader", "the mode the logger starts in; default firmware",
     [](const QString &v, Settings &s) {
         s.config.startInBootloader = v == QLatin1String("bootloader");
         return v == QLatin1String("firmware") || v == QLatin1String("bootloader");
     }},
    {"Scenario", "sample-hz", "HZ", "magnetometer sample rate of the S2C_DataPoints stream; default 400",
     [](const QString &v, Settings &s) {
         return toDouble(v, &s.config.sampleHz, 0.0, 4000.0) && s.config.sampleHz > 0;
     }},
    {"Scenario", "rev-per-s", "R", "meter revolutions per second (negative runs backwards); default 1",
     [](const QString &v, Settings &s) { return toDouble(v, &s.config.magnet.revPerSecond); }},
    {"Scenario", "clock-offset-ms", "MS", "the logger's clock minus the host's at start; default 0",
     [](const QString &v, Settings &s) {
         bool ok = false;
         s.config.clockOffsetMs = v.toLongLong(&ok);
         return ok;
     }},
    {"Scenario", "debug-interval-ms", "MS", "mean interval of debug messages, 0 for none; default 20000",
     [](const QString &v, Settings &s) { return toInt(v, &s.config.debugMessageIntervalMs, 0); }},
    {"Scenario", "session-name", "TEXT",
     "the name every session on the flash carries (up to 32 bytes);\n"
     "default log_<start time>",
     [](const QString &v, Settings &s) {
         s.config.flash.sessionName = v;
         return true;
     }},
    {"Scenario", "refuse-save", "",
     "answer every save of the persistent variables with error 7\n"
     "and keep the saved values",
     [](const QString &, Settings &s) {
         s.config.refuseSave = true;
         return true;
     }},
    {"Line", "link", "PATH", "also place a symlink PATH to the pty (re-pointed on replug)",
     [](const QString &v, Settings &s) {
         s.linkPath = v;
         return true;
     }},
    {"Line", "baud-limit", "BAUD",
     "throttle both directions to BAUD's byte rate (10 bits per byte,\n"
     "11 in bootloader mode); default unthrottled",
     [](const QString &v, Settings &s) { return toUnsigned(v, &s.config.faults.baudLimit); }},
    {"Line", "fault-drop", "P", "probability that a byte is lost (each direction)",
     [](const QString &v, Settings &s) { return toProbability(v, &s.config.faults.dropProbability); }},
    {"Line", "fault-corrupt", "P", "probability that a byte has one bit flipped",
     [](const QString &v, Settings &s) { return toProbability(v, &s.config.faults.corruptProbability); }},
    {"Line", "fault-delay-ms", "MS", "stall the line for MS milliseconds before some bytes",
     [](const QString &v, Settings &s) { return toInt(v, &s.config.faults.delayMs, 0); }},
    {"Line", "fault-delay-p", "P", "probability of such a stall per byte; default 0.001 with --fault-delay-ms",
     [](const QString &v, Settings &s) {
         s.delayProbabilityGiven = true;
         return toProbability(v, &s.config.faults.delayProbability);
     }},
    {"Output", "write-ground-truth", "DIR",
     "write what the logger holds into DIR at start and again on exit:\n"
     "session-<index>.rlog per closed session (the 520-byte payloads of its\n"
     "records in order), flash-pages.bin (u32 page index + 2112 bytes for\n"
     "every page not fully erased), sessions.json, uses.json (every use of\n"
     "water in the closed sessions: use, start, end, litres, session),\n"
     "state-export.bin (the 528-byte state export), mcu-flash.bin (the\n"
     "256 KiB MCU flash) and device.json (identity, variables, request\n"
     "counts, litres per pulse)",
     [](const QString &v, Settings &s) {
         s.truthDir = v;
         return true;
     }},
};

QString optionLabel(const char *name, const char *valueName)
{
    QString label = QStringLiteral("--") + QLatin1String(name);
    if (*valueName)
        label += QLatin1Char(' ') + QLatin1String(valueName);
    return label;
}

QString helpText()
{
    constexpr int kColumn = 25;
    QString text =
        QStringLiteral("usage: tarrowind-sim [OPTIONS]\n"
                       "\n"
                       "Runs a virtual Tarrowind logger on a pseudo-terminal until killed (SIGINT or SIGTERM).\n"
                       "The first line printed is the pty path; point the utility at it (or at --link).\n");
    const char *group = "";
    auto line = [&](const QString &label, const QString &description) {
        // A label as long as the column gets the description on the same line after one space.
        const QString indent = QStringLiteral("\n") + QString(2 + kColumn, QLatin1Char(' '));
        text += QStringLiteral("  %1 %2\n")
                    .arg(label, -(kColumn - 1))
                    .arg(QString(description).replace(QLatin1Char('\n'), indent));
    };
    for (const SimOption &o : kSimOptions) {
        if (qstrcmp(group, o.group) != 0) {
            group = o.group;
            text += QStringLiteral("\n%1:\n").arg(QLatin1String(group));
        }
        line(optionLabel(o.name, o.valueName), QLatin1String(o.description));
    }
    line(QStringLiteral("--version"), QStringLiteral("the program's version"));
    line(QStringLiteral("-h, --help"), QStringLiteral("this text"));
    text += QStringLiteral(
        "\n"
        "Signals:\n"
        "  SIGUSR1                  pull the cable (the pty goes away); again to plug it back in, on a\n"
        "                           new pty whose path is printed on a line of its own (--link follows)\n"
        "  SIGUSR2                  restart the logger (as a power cycle)\n"
        "  SIGINT, SIGTERM          write the ground truth again (with --write-ground-truth) and exit\n");
    return text;
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "tarrowind-sim: %s (try --help)\n", qPrintable(message));
    return 2;
}

// The settings from the command line; -1 to go on, otherwise the exit status (help, version,
// or a usage error already reported).
int parseCommandLine(const QStringList &arguments, Settings *settings)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version(QStringLiteral("version"), QString());
    parser.addOption(help);
    parser.addOption(version);
    for (const SimOption &o : kSimOptions)
        parser.addOption(QCommandLineOption(QLatin1String(o.name), QString(), QLatin1String(o.valueName)));
    const bool parsed = parser.parse(arguments);
    if (parser.isSet(help)) {
        std::fputs(qPrintable(helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("tarrowind-sim %s\n", TW_VERSION);
        return 0;
    }
    if (!parsed) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            return usageError(QStringLiteral("unknown option --%1").arg(unknown.first()));
        // "Missing value after '--seed'." in the style of the other messages.
        QString error = parser.errorText();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        if (!error.isEmpty())
            error[0] = error[0].toLower();
        return usageError(error);
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    for (const SimOption &o : kSimOptions) {
        const QString name = QLatin1String(o.name);
        if (!parser.isSet(name))
            continue;
        const QString value = *o.valueName ? parser.value(name) : QString();
        if (!o.apply(value, *settings))
            return usageError(QStringLiteral("bad value for --%1: %2").arg(name, value));
    }
    VirtualLoggerConfig &config = settings->config;
    if (config.faults.delayMs > 0 && !settings->delayProbabilityGiven)
        config.faults.delayProbability = 0.001;
    config.faults.seed = config.seed;
    config.flash.seed = config.seed;
    return -1;
}

bool writeTruth(VirtualLoggerRunner &sim, const QString &dir)
{
    if (dir.isEmpty())
        return true;
    QString error;
    if (!sim.writeGroundTruth(dir, &error)) {
        std::fprintf(stderr, "tarrowind-sim: %s\n", qPrintable(error));
        return false;
    }
    return true;
}
}  // namespace

int main(int argc, char **argv)
{
    followParentUnderHarness();
    // The ground-truth files keep a decimal point whatever the user's locale.
    NumericLocale::pinToC();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    Settings settings;
    const int status = parseCommandLine(arguments, &settings);
    if (status >= 0)
        return status;
    registerNetworkMetatypes();
    const VirtualLoggerConfig &config = settings.config;
    const QString &linkPath = settings.linkPath;
    const QString &truthDir = settings.truthDir;

    // Signals are taken by sigwait below; block them before any thread starts so that
    // every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    VirtualLoggerRunner sim(config);
    QString error;
    if (!sim.startPty(linkPath, &error)) {
        std::fprintf(stderr, "tarrowind-sim: cannot create the pty: %s\n", qPrintable(error));
        return 1;
    }
    // The start-up truth is in place before anyone learns where the logger is.
    if (!writeTruth(sim, truthDir)) {
        sim.stop();
        return 1;
    }
    std::printf("%s\n", qPrintable(sim.ptyPath()));
    std::fflush(stdout);

    for (;;) {
        int received = 0;
        if (sigwait(&stopSignals, &received) != 0)
            continue;
        if (received == SIGUSR2) {
            sim.restartDevice();
        } else if (received == SIGUSR1) {
            if (!sim.ptyPath().isEmpty()) {
                sim.unplug();
            } else if (sim.replug(&error)) {
                std::printf("%s\n", qPrintable(sim.ptyPath()));
                std::fflush(stdout);
            } else {
                std::fprintf(stderr, "tarrowind-sim: cannot plug back in: %s\n", qPrintable(error));
            }
        } else {
            break;
        }
    }
    sim.stop();
    return writeTruth(sim, truthDir) ? 0 : 1;
}
