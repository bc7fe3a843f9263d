// tarrowind-sim: the virtual logger on a pseudo-terminal, until SIGINT or SIGTERM.

#include "NumericLocale.h"
#include "VirtualLoggerRunner.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace {
const char kHelp[] =
    "usage: tarrowind-sim [OPTIONS]\n"
    "\n"
    "Runs a virtual Tarrowind logger on a pseudo-terminal until killed (SIGINT or SIGTERM).\n"
    "The first line printed is the pty path; point the utility at it (or at --link).\n"
    "\n"
    "Scenario:\n"
    "  --seed S                 seed of everything random (identity, sessions, noise, faults); default 1\n"
    "  --sessions N             closed logging sessions on the flash (the last file stays open); default 3\n"
    "  --wrap                   let a session run past the end of the flash\n"
    "  --leak                   model a leak in the water-use profile\n"
    "  --patch-level N          firmware patch level (4040, 4162, 4251, 4300, 4468 gate features); default 4468\n"
    "  --mode firmware|bootloader  the mode the logger starts in; default firmware\n"
    "  --sample-hz HZ           magnetometer sample rate of the S2C_DataPoints stream; default 400\n"
    "  --rev-per-s R            meter revolutions per second (negative runs backwards); default 1\n"
    "  --clock-offset-ms MS     the logger's clock minus the host's at start; default 0\n"
    "  --debug-interval-ms MS   mean interval of debug messages, 0 for none; default 20000\n"
    "\n"
    "Line:\n"
    "  --link PATH              also place a symlink PATH to the pty (re-pointed on replug)\n"
    "  --baud-limit BAUD        throttle both directions to BAUD's byte rate (10 bits per byte,\n"
    "                           11 in bootloader mode); default unthrottled\n"
    "  --fault-drop P           probability that a byte is lost (each direction)\n"
    "  --fault-corrupt P        probability that a byte has one bit flipped\n"
    "  --fault-delay-ms MS      stall the line for MS milliseconds before some bytes\n"
    "  --fault-delay-p P        probability of such a stall per byte; default 0.001 with --fault-delay-ms\n"
    "\n"
    "Output:\n"
    "  --write-ground-truth DIR write what the logger holds into DIR at start and again on exit:\n"
    "                           session-<index>.rlog per closed session (the 520-byte payloads of its\n"
    "                           records in order), flash-pages.bin (u32 page index + 2112 bytes for\n"
    "                           every page not fully erased), sessions.json, state-export.bin (the\n"
    "                           528-byte state export), mcu-flash.bin (the 256 KiB MCU flash) and\n"
    "                           device.json (identity, variables, request counts)\n"
    "  --help                   this text\n"
    "\n"
    "Signals:\n"
    "  SIGUSR1                  pull the cable (the pty goes away); again to plug it back in, on a\n"
    "                           new pty whose path is printed on a line of its own (--link follows)\n"
    "  SIGUSR2                  restart the logger (as a power cycle)\n"
    "  SIGINT, SIGTERM          write the ground truth again (with --write-ground-truth) and exit\n";

int usageError(const QString &message)
{
    std::fprintf(stderr, "tarrowind-sim: %s (try --help)\n", qPrintable(message));
    return 2;
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
    // The ground-truth files keep a decimal point whatever the user's locale.
    NumericLocale::pinToC();
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    VirtualLoggerConfig config;
    QString linkPath;
    QString truthDir;
    bool delayProbabilityGiven = false;

    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (a == QLatin1String("--wrap")) {
            config.flash.wrapAround = true;
            continue;
        }
        if (a == QLatin1String("--leak")) {
            config.flash.leak = true;
            continue;
        }
        if (i + 1 >= args.size())
            return usageError(QStringLiteral("unknown option or missing value: %1").arg(a));
        const QString v = args[++i];
        bool ok = true;
        if (a == QLatin1String("--seed")) {
            config.seed = v.toUInt(&ok);
        } else if (a == QLatin1String("--sessions")) {
            config.flash.closedSessions = v.toInt(&ok);
            ok = ok && config.flash.closedSessions >= 0;
        } else if (a == QLatin1String("--patch-level")) {
            config.patchLevel = v.toUInt(&ok);
        } else if (a == QLatin1String("--mode")) {
            ok = v == QLatin1String("firmware") || v == QLatin1String("bootloader");
            config.startInBootloader = v == QLatin1String("bootloader");
        } else if (a == QLatin1String("--sample-hz")) {
            config.sampleHz = v.toDouble(&ok);
            ok = ok && config.sampleHz > 0 && config.sampleHz <= 4000;
        } else if (a == QLatin1String("--rev-per-s")) {
            config.magnet.revPerSecond = v.toDouble(&ok);
        } else if (a == QLatin1String("--clock-offset-ms")) {
            config.clockOffsetMs = v.toLongLong(&ok);
        } else if (a == QLatin1String("--debug-interval-ms")) {
            config.debugMessageIntervalMs = v.toInt(&ok);
            ok = ok && config.debugMessageIntervalMs >= 0;
        } else if (a == QLatin1String("--link")) {
            linkPath = v;
        } else if (a == QLatin1String("--baud-limit")) {
            config.faults.baudLimit = v.toUInt(&ok);
        } else if (a == QLatin1String("--fault-drop")) {
            config.faults.dropProbability = v.toDouble(&ok);
            ok = ok && config.faults.dropProbability >= 0 && config.faults.dropProbability <= 1;
        } else if (a == QLatin1String("--fault-corrupt")) {
            config.faults.corruptProbability = v.toDouble(&ok);
            ok = ok && config.faults.corruptProbability >= 0 && config.faults.corruptProbability <= 1;
        } else if (a == QLatin1String("--fault-delay-ms")) {
            config.faults.delayMs = v.toInt(&ok);
            ok = ok && config.faults.delayMs >= 0;
        } else if (a == QLatin1String("--fault-delay-p")) {
            config.faults.delayProbability = v.toDouble(&ok);
            ok = ok && config.faults.delayProbability >= 0 && config.faults.delayProbability <= 1;
            delayProbabilityGiven = true;
        } else if (a == QLatin1String("--write-ground-truth")) {
            truthDir = v;
        } else {
            return usageError(QStringLiteral("unknown option %1").arg(a));
        }
        if (!ok)
            return usageError(QStringLiteral("bad value for %1: %2").arg(a, v));
    }
    if (config.faults.delayMs > 0 && !delayProbabilityGiven)
        config.faults.delayProbability = 0.001;
    config.faults.seed = config.seed;
    config.flash.seed = config.seed;

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
