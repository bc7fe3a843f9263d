#include "UdevRule.h"

#include "AdapterIdentity.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace UdevRule {
const char *const kAction = "udev-rule";

namespace {
// Case-insensitive glob for udev: "Feldspire" -> "[Ff][Ee]...".
QByteArray anyCase(const QString &word)
{
    QByteArray glob;
    for (const QChar c : word) {
        if (c.isLetter())
            glob += '[' + QString(c.toUpper()).toUtf8() + QString(c.toLower()).toUtf8() + ']';
        else
            glob += QString(c).toUtf8();
    }
    return glob;
}

// No application object exists in the repair mode, so no QProcess. Running as root, a program
// is started only by its absolute path, with an environment of our own: nothing the user's
// session set (PATH, LD_*, locale, ...) reaches it.
int runCommand(const QStringList &command)
{
    if (command.isEmpty() || !command.first().startsWith(QLatin1Char('/'))) {
        qWarning().noquote() << "refusing to run a program not named by its absolute path:" << command.value(0);
        return -1;
    }
    QList<QByteArray> storage;
    for (const QString &arg : command)
        storage << QFile::encodeName(arg);
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char locale[] = "LC_ALL=C";
    char *environment[] = {path, locale, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environment);
    if (rc != 0) {
        qWarning().noquote() << "could not start" << command.first() << ":" << strerror(rc);
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

QString udevadm()
{
    const QString usr = QStringLiteral("/usr/bin/udevadm");
    return QFileInfo(usr).isExecutable() ? usr : QStringLiteral("/bin/udevadm");
}
}  // namespace

const char *const kFileName = "70-tarrowind-utility.rules";

QStringList ruleFolders()
{
    return {QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
            QStringLiteral("/usr/lib/udev/rules.d"), QStringLiteral("/lib/udev/rules.d")};
}

QByteArray ruleText()
{
    using namespace AdapterIdentity;
    // The matches mirror the adapter classification, so every adapter the utility recognises
    // is covered and no other. All ATTRS of one line match on the same USB device.
    QByteArray text;
    text += "# Installed by Tarrowind Utility: the logger's USB adapters.\n";
    text += "# Access for the user at the seat, no ModemManager probing, 1 ms latency timer.\n";
    text += "ACTION==\"remove\", GOTO=\"tarrowind_end\"\n";
    text += "SUBSYSTEM!=\"tty\", GOTO=\"tarrowind_end\"\n";
    text += QByteArray("ATTRS{manufacturer}==\"") + kProductManufacturer + "\", GOTO=\"tarrowind_adapter\"\n";
    text += QByteArray("ATTRS{product}==\"") + kDescriptionPrefix + "*\", GOTO=\"tarrowind_adapter\"\n";
    for (const QString &d : acceptedDescriptions())
        text += "ATTRS{product}==\"" + d.toUtf8() + "\", GOTO=\"tarrowind_adapter\"\n";
    for (const QString &m : acceptedManufacturers())
        text += "ATTRS{manufacturer}==\"" + anyCase(m) + "\", GOTO=\"tarrowind_adapter\"\n";
    text += "GOTO=\"tarrowind_end\"\n";
    text += "LABEL=\"tarrowind_adapter\"\n";
    text += "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
    text += "DRIVERS==\"ftdi_sio\", ATTR{device/latency_timer}=\"1\"\n";
    text += "LABEL=\"tarrowind_end\"\n";
    return text;
}

bool isInstalled(const QStringList &folders)
{
    for (const QString &folder : folders) {
        QFile file(folder + QLatin1Char('/') + QLatin1String(kFileName));
        if (file.exists())
            return file.open(QIODevice::ReadOnly) && file.readAll() == ruleText();
    }
    return false;
}

namespace {
bool write(const QString &rulePath)
{
    // The rule is written as root: nobody else may change it, not even between its creation
    // and the rename that puts it in place.
    const mode_t previousMask = umask(022);
    QSaveFile file(rulePath);
    const bool written = file.open(QIODevice::WriteOnly) &&
                         file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                             QFileDevice::ReadOther) &&
                         file.write(ruleText()) == ruleText().size() && file.commit();
    umask(previousMask);
    if (!written) {
        qWarning().noquote() << "failed to write udev rule" << rulePath << ":" << file.errorString();
        return false;
    }
    qDebug().noquote() << "Successfully wrote udev rule" << rulePath;
    return true;
}
}  // namespace

bool install(const QStringList &folders, const QList<QStringList> &commands)
{
    // A packaged rule already covers the adapters: udev only has to apply it.
    if (isInstalled(folders))
        qDebug().noquote() << "udev rule already installed";
    else if (folders.isEmpty() || !write(folders.first() + QLatin1Char('/') + QLatin1String(kFileName)))
        return false;
    for (const QStringList &command : commands) {
        const int code = runCommand(command);
        if (code != 0) {
            qWarning().noquote() << "failed:" << command.join(QLatin1Char(' ')) << "exit" << code;
            return false;
        }
        qDebug().noquote() << "ran" << command.join(QLatin1Char(' '));
    }
    return true;
}

QList<QStringList> defaultCommands()
{
    const QString program = udevadm();
    return {{program, QStringLiteral("control"), QStringLiteral("--reload-rules")},
            {program, QStringLiteral("trigger"), QStringLiteral("--action=change"),
             QStringLiteral("--subsystem-match=tty")},
            {program, QStringLiteral("settle"), QStringLiteral("--timeout=10")}};
}
}  // namespace UdevRule
