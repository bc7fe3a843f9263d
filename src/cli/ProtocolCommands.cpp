#include "ProtocolCommands.h"

#include "LoggerConnection.h"
#include "network/Network.h"
#include "network/TarrowindFirmware.h"
#include "network/VariablesBackup.h"

#include <cstring>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaEnum>
#include <QRegularExpression>

namespace {

using Outcome = TarrowindFirmware::PacketOutcome;

// Every request the firmware client sends expires on its own well within this; the bound
// only guards against a client that never reports.
constexpr int kRequestWaitMs = 10000;

enum class VariableKind { Temporary16, Persistent16, Persistent256, Permanent16, Permanent256 };

struct Variable {
    VariableKind kind;
    int index;
    QString name;

    bool isText() const { return kind == VariableKind::Persistent256 || kind == VariableKind::Permanent256; }
    bool isPermanent() const { return kind == VariableKind::Permanent16 || kind == VariableKind::Permanent256; }
};

template <typename E> void addNames(std::vector<Variable> &out, VariableKind kind, int count)
{
    const QMetaEnum me = QMetaEnum::fromType<E>();
    for (int i = 0; i < count; ++i) {
        const char *key = me.valueToKey(i);
        out.push_back({kind, i, key ? QString::fromLatin1(key) : QString::number(i)});
    }
}

// Every variable the client caches, in the order the device numbers them.
const std::vector<Variable> &allVariables()
{
    static const std::vector<Variable> variables = [] {
        std::vector<Variable> v;
        addNames<Network::TemporaryName16>(v, VariableKind::Temporary16, Network::kTemporary16Count);
        addNames<Network::PersistentName16>(v, VariableKind::Persistent16, Network::kPersistent16Count);
        addNames<Network::PersistentName256>(v, VariableKind::Persistent256, Network::kPersistent256Count);
        addNames<Network::PermanentName16>(v, VariableKind::Permanent16, Network::kPermanent16Count);
        addNames<Network::PermanentName256>(v, VariableKind::Permanent256, Network::kPermanent256Count);
        return v;
    }();
    return variables;
}

// The name as listed by "vars"; the "Network::" form of the protocol log is accepted too.
const Variable *findVariable(QString name)
{
    if (name.startsWith(QLatin1String("Network::")))
        name = name.mid(9);
    for (const Variable &v : allVariables()) {
        if (v.name == name)
            return &v;
    }
    return nullptr;
}

QString groupName(VariableKind kind)
{
    switch (kind) {
    case VariableKind::Temporary16:
        return QStringLiteral("temporaries");
    case VariableKind::Persistent16:
    case VariableKind::Persistent256:
        return QStringLiteral("persistents");
    default:
        return QStringLiteral("permanents");
    }
}

QVariantList cacheOf(const TarrowindFirmware &fw, VariableKind kind)
{
    switch (kind) {
    case VariableKind::Temporary16:
        return fw.temporaries16();
    case VariableKind::Persistent16:
        return fw.persistents16();
    case VariableKind::Persistent256:
        return fw.persistents256();
    case VariableKind::Permanent16:
        return fw.permanents16();
    case VariableKind::Permanent256:
        return fw.permanents256();
    }
    return {};
}

// The cached value: a number for 16-bit variables, the decoded text for 256-bit ones.
QVariant valueOf(const TarrowindFirmware &fw, const Variable &v)
{
    const QVariantList cache = cacheOf(fw, v.kind);
    if (v.index >= cache.size())
        return QVariant();
    if (v.isText())
        return fw.qmlToString(cache[v.index].value<Network::uint256_t>());
    return cache[v.index].toUInt();
}

QString displayValue(const QVariant &value, bool text)
{
    return text ? QLatin1Char('"') + value.toString() + QLatin1Char('"') : value.toString();
}

template <typename E> QString keyOf(E value)
{
    const char *key = QMetaEnum::fromType<E>().valueToKey(int(value));
    return key ? QString::fromLatin1(key) : QString::number(int(value));
}

QString errorFlagNames(qlonglong flags)
{
    const QMetaEnum me = QMetaEnum::fromType<Network::ErrorFlags>();
    QStringList names;
    for (int i = 0; i < me.keyCount(); ++i) {
        if (flags & me.value(i))
            names << QString::fromLatin1(me.key(i));
    }
    return names.join(QLatin1Char('|'));
}

QString isoMs(const QDateTime &t)
{
    return t.toUTC().toString(Qt::ISODateWithMs);
}

// The connection options and nothing else, as info, vars and sync-clock take them.
bool connectionOnly(const QCommandLineParser &args, LoggerConnection::Options *options, QString *error)
{
    if (!LoggerConnection::readOptions(args, options, error))
        return false;
    if (!args.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument '%1'").arg(args.positionalArguments().first());
        return false;
    }
    return true;
}

// Sends a request and waits for its answer; a one-line reason when it did not come.
bool exchange(LoggerConnection &c, uint16_t id, const QString &what, QString *error)
{
    if (id == 0) {
        *error = QStringLiteral("could not send the %1 request: the logger is no longer connected").arg(what);
        return false;
    }
    Outcome outcome = TarrowindFirmware::PacketOutcome_Expired;
    if (!c.waitForRequest(id, kRequestWaitMs, &outcome) || outcome == TarrowindFirmware::PacketOutcome_Expired) {
        *error = QStringLiteral("the logger did not answer the %1 request").arg(what);
        return false;
    }
    if (outcome == TarrowindFirmware::PacketOutcome_Cancelled) {
        *error = QStringLiteral("the connection to the logger was lost during the %1 request").arg(what);
        return false;
    }
    if (outcome == TarrowindFirmware::PacketOutcome_Errored) {
        *error = QStringLiteral("the logger's answer to the %1 request could not be read").arg(what);
        return false;
    }
    return true;
}

int runInfo(const QCommandLineParser &args)
{
    LoggerConnection::Options o;
    QString error;
    if (!connectionOnly(args, &o, &error))
        return Cli::fail(error);
    const bool json = args.isSet(QStringLiteral("json"));
    LoggerConnection c;
    if (!c.open(o, &error))
        return Cli::fail(error);
    TarrowindFirmware &fw = *c.firmware();
    // The connection batch reads the clock but not the statistics: ask for both now.
    if (!exchange(c, fw.sendGetStats(), QStringLiteral("statistics"), &error) ||
        !exchange(c, fw.sendGetDateTime(), QStringLiteral("clock"), &error))
        return Cli::fail(error);

    const QString version =
        QStringLiteral("%1.%2.%3").arg(fw.majorVersion()).arg(fw.minorVersion()).arg(fw.patchLevelVersion());
    const QString serial = valueOf(fw, *findVariable(QStringLiteral("SerialNumber"))).toString();
    const QString jobName = valueOf(fw, *findVariable(QStringLiteral("DeviceName_JobNameString"))).toString();
    const QVariantMap stats = fw.stats();
    const qlonglong errorFlags = stats.value(QStringLiteral("errorFlags")).toLongLong();

    if (json) {
        QJsonObject o;
        o[QStringLiteral("serverType")] = keyOf(fw.serverType());
        o[QStringLiteral("model")] = keyOf(fw.modelType());
        o[QStringLiteral("modelRevision")] = int(fw.modelRevision());
        o[QStringLiteral("version")] = version;
        o[QStringLiteral("majorVersion")] = int(fw.majorVersion());
        o[QStringLiteral("minorVersion")] = int(fw.minorVersion());
        o[QStringLiteral("patchLevelVersion")] = double(fw.patchLevelVersion());
        o[QStringLiteral("firmwareOutdated")] = fw.firmwareOutdated();
        o[QStringLiteral("uniqueId")] = fw.uniqueId();
        o[QStringLiteral("buildType")] = fw.buildType();
        o[QStringLiteral("serialNumber")] = serial;
        o[QStringLiteral("deviceName")] = fw.deviceName();
        o[QStringLiteral("jobName")] = jobName;
        o[QStringLiteral("clock")] = isoMs(fw.dateTime());
        o[QStringLiteral("skewMs")] = double(fw.skewMs());
        QJsonObject s;
        for (auto it = stats.cbegin(); it != stats.cend(); ++it)
            s[it.key()] = double(it.value().toLongLong());
        o[QStringLiteral("stats")] = s;
        o[QStringLiteral("errorFlagNames")] =
            QJsonArray::fromStringList(errorFlagNames(errorFlags).split(QLatin1Char('|'), Qt::SkipEmptyParts));
        Cli::printJson(o);
        return 0;
    }
    QString text;
    text += QStringLiteral("server type: %1\n").arg(keyOf(fw.serverType()));
    text += QStringLiteral("model: %1\n").arg(keyOf(fw.modelType()));
    text += QStringLiteral("revision: %1\n").arg(fw.modelRevision());
    text += QStringLiteral("version: %1%2\n")
                .arg(version, fw.firmwareOutdated() ? QStringLiteral(" (outdated; latest %1.%2.%3)")
                                                          .arg(fw.latestMajorVersion())
                                                          .arg(fw.latestMinorVersion())
                                                          .arg(fw.latestPatchLevelVersion())
                                                    : QString());
    text += QStringLiteral("unique id: %1\n").arg(fw.uniqueId());
    text += QStringLiteral("build type: %1\n").arg(fw.buildType());
    text += QStringLiteral("serial number: %1\n").arg(serial);
    text += QStringLiteral("device name: %1\n").arg(fw.deviceName());
    text += QStringLiteral("job name: %1\n").arg(jobName);
    text += QStringLiteral("clock: %1\n").arg(isoMs(fw.dateTime()));
    text += QStringLiteral("skew: %1 ms\n").arg(fw.skewMs());
    text += QStringLiteral("statistics:\n");
    for (auto it = stats.cbegin(); it != stats.cend(); ++it) {
        text += QStringLiteral("  %1: %2").arg(it.key()).arg(it.value().toLongLong());
        if (it.key() == QLatin1String("errorFlags") && errorFlags != 0)
            text += QStringLiteral(" (%1)").arg(errorFlagNames(errorFlags));
        text += QLatin1Char('\n');
    }
    Cli::print(text);
    return 0;
}

// "vars --backup FILE" and "vars --restore FILE": the user interface's backup, run to its end.
int runBackupOrRestore(LoggerConnection &c, bool restore, const QString &file)
{
    VariablesBackup backup;
    backup.setFirmware(c.firmware());
    if (restore)
        backup.beginRestore(file);
    else
        backup.beginBackup(file);
    // Each request expires on its own and a lost logger ends the operation; the bound only
    // guards against a client that never reports.
    if (!Cli::waitFor([&backup] { return !backup.busy(); }, 6 * kRequestWaitMs))
        return Cli::fail(QStringLiteral("the %1 did not finish")
                             .arg(restore ? QStringLiteral("restore") : QStringLiteral("backup")));
    if (backup.status() != VariablesBackup::Status_Succeeded)
        return Cli::fail(backup.resultText());
    Cli::print(backup.resultText() + QLatin1Char('\n'));
    return 0;
}

int runVars(const QCommandLineParser &args)
{
    LoggerConnection::Options o;
    QString error;
    if (!connectionOnly(args, &o, &error))
        return Cli::fail(error);
    const bool json = args.isSet(QStringLiteral("json"));
    const bool backup = args.isSet(QStringLiteral("backup"));
    const bool restore = args.isSet(QStringLiteral("restore"));
    if (backup && restore)
        return Cli::fail(QStringLiteral("vars takes --backup FILE or --restore FILE, not both"));
    if ((backup || restore) && json)
        return Cli::fail(QStringLiteral("--json lists the variables; it does not go with --backup or --restore"));
    const QString file = args.value(restore ? QStringLiteral("restore") : QStringLiteral("backup"));
    if ((backup || restore) && file.isEmpty())
        return Cli::fail(QStringLiteral("--%1 needs a file name")
                             .arg(restore ? QStringLiteral("restore") : QStringLiteral("backup")));
    LoggerConnection c;
    if (!c.open(o, &error))
        return Cli::fail(error);
    if (backup || restore)
        return runBackupOrRestore(c, restore, file);
    const TarrowindFirmware &fw = *c.firmware();

    if (json) {
        QJsonObject groups;
        for (const Variable &v : allVariables()) {
            QJsonObject group = groups.value(groupName(v.kind)).toObject();
            const QVariant value = valueOf(fw, v);
            group[v.name] = v.isText() ? QJsonValue(value.toString()) : QJsonValue(int(value.toUInt()));
            groups[groupName(v.kind)] = group;
        }
        Cli::printJson(groups);
        return 0;
    }
    QString text;
    QString current;
    for (const Variable &v : allVariables()) {
        if (groupName(v.kind) != current) {
            current = groupName(v.kind);
            text += current + QStringLiteral(":\n");
        }
        text += QStringLiteral("  %1 = %2\n").arg(v.name, displayValue(valueOf(fw, v), v.isText()));
    }
    Cli::print(text);
    return 0;
}

// The value as the device stores it; false with a message when it does not fit.
bool parseValue(const Variable &v, const QString &text, uint16_t *number, Network::uint256_t *bytes, QString *error)
{
    if (v.isText()) {
        const QByteArray utf8 = text.toUtf8();
        if (utf8.size() > int(sizeof bytes->bytes)) {
            *error = QStringLiteral("'%1' is %2 bytes long; %3 holds at most 32 bytes of text")
                         .arg(text)
                         .arg(utf8.size())
                         .arg(v.name);
            return false;
        }
        *bytes = Network::uint256_t();
        std::memcpy(bytes->bytes, utf8.constData(), size_t(utf8.size()));
        return true;
    }
    // Decimal, or hexadecimal with "0x" (a leading zero does not mean octal here).
    const QString digits = text.trimmed();
    const bool hex = digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    bool ok = false;
    const qulonglong value = (hex ? digits.mid(2) : digits).toULongLong(&ok, hex ? 16 : 10);
    if (!ok || value > 0xFFFF) {
        *error = QStringLiteral("'%1' is not a value for %2 (a number from 0 to 65535)").arg(text, v.name);
        return false;
    }
    *number = uint16_t(value);
    return true;
}

// The error code of the result the client logged for a write or save, or -1 if none was seen.
class ResultErrorWatch
{
public:
    // `prefix`: the pattern of the log text before "error:".
    explicit ResultErrorWatch(const QString &prefix)
        : m_pattern(QLatin1Char('^') + prefix + QStringLiteral("error:(\\d+)\\]"))
    {
    }
    void observe(const QString &line)
    {
        const auto match = m_pattern.match(line);
        if (match.hasMatch())
            m_error = match.captured(1).toInt();
    }
    int error() const { return m_error; }

private:
    QRegularExpression m_pattern;
    int m_error = -1;
};

// The write and read requests of a variable the command may set (temporaries and persistents).
uint16_t sendWrite(TarrowindFirmware &fw, const Variable &v, uint16_t number, const Network::uint256_t &bytes)
{
    switch (v.kind) {
    case VariableKind::Temporary16:
        return fw.sendWriteTemporary16(Network::TemporaryName16(v.index), number);
    case VariableKind::Persistent16:
        return fw.sendWritePersistent16(Network::PersistentName16(v.index), number);
    default:
        return fw.sendWritePersistent256(Network::PersistentName256(v.index), bytes);
    }
}

uint16_t sendRead(TarrowindFirmware &fw, const Variable &v)
{
    switch (v.kind) {
    case VariableKind::Temporary16:
        return fw.sendReadTemporary16(Network::TemporaryName16(v.index));
    case VariableKind::Persistent16:
        return fw.sendReadPersistent16(Network::PersistentName16(v.index));
    default:
        return fw.sendReadPersistent256(Network::PersistentName256(v.index));
    }
}

int runSetVar(const QCommandLineParser &parsed)
{
    LoggerConnection::Options o;
    QString error;
    const bool save = parsed.isSet(QStringLiteral("save"));
    if (!LoggerConnection::readOptions(parsed, &o, &error))
        return Cli::fail(error);
    const QStringList args = parsed.positionalArguments();
    if (args.size() != 2)
        return Cli::fail(QStringLiteral("usage: --port PORT set-var NAME VALUE [--save]"));
    const Variable *v = findVariable(args[0]);
    if (!v)
        return Cli::fail(QStringLiteral("unknown variable '%1' (the vars command lists the names)").arg(args[0]));
    if (v->isPermanent())
        return Cli::fail(QStringLiteral("%1 is a permanent variable and cannot be written").arg(v->name));
    if (save && v->kind == VariableKind::Temporary16)
        return Cli::fail(QStringLiteral("--save keeps persistent variables; %1 is a temporary").arg(v->name));
    uint16_t number = 0;
    Network::uint256_t bytes;
    if (!parseValue(*v, args[1], &number, &bytes, &error))
        return Cli::fail(error);

    LoggerConnection c;
    if (!c.open(o, &error))
        return Cli::fail(error);
    TarrowindFirmware &fw = *c.firmware();

    // The client only logs a result's error code; the log line is where it can be read.
    const QString label = v->kind == VariableKind::Temporary16    ? QStringLiteral("WriteTemporary16Result")
                          : v->kind == VariableKind::Persistent16 ? QStringLiteral("WritePersistent16Result")
                                                                  : QStringLiteral("WritePersistent256Result");
    ResultErrorWatch writeWatch(label + QStringLiteral("\\[name:Network::") + QRegularExpression::escape(v->name) +
                                QLatin1Char(' '));
    c.setLogObserver([&](const QString &line) { writeWatch.observe(line); });
    if (!exchange(c, sendWrite(fw, *v, number, bytes), QStringLiteral("write"), &error))
        return Cli::fail(error);
    if (writeWatch.error() > 0)
        return Cli::fail(
            QStringLiteral("the logger refused %1 = %2 (error %3)").arg(v->name, args[1]).arg(writeWatch.error()));

    // Read it back: what the logger holds now is what the command reports. The value is taken
    // as the read-back's own answer is handled: an answer to an earlier request of the same
    // variable (a resend answered late) may still follow it and must not change the verdict.
    const uint16_t readId = sendRead(fw, *v);
    QVariant held;
    const QMetaObject::Connection heldWatch =
        QObject::connect(&fw, &TarrowindFirmware::packetFinished, [&](uint16_t id, Outcome outcome) {
            if (id == readId && outcome == TarrowindFirmware::PacketOutcome_Handled)
                held = valueOf(fw, *v);
        });
    const bool readBack = exchange(c, readId, QStringLiteral("read-back"), &error);
    QObject::disconnect(heldWatch);
    if (!readBack)
        return Cli::fail(error);
    const QVariant wanted = v->isText() ? QVariant(fw.qmlToString(bytes)) : QVariant(uint(number));
    if (held != wanted)
        return Cli::fail(QStringLiteral("the logger did not keep %1 = %2: it holds %3")
                             .arg(v->name, displayValue(wanted, v->isText()), displayValue(held, v->isText())));

    if (save) {
        ResultErrorWatch saveWatch(QStringLiteral("SavePersistentsResult\\["));
        c.setLogObserver([&](const QString &line) { saveWatch.observe(line); });
        if (!exchange(c, fw.sendSavePersistents(), QStringLiteral("save"), &error))
            return Cli::fail(error);
        if (saveWatch.error() > 0)
            return Cli::fail(QStringLiteral("the logger took %1 but could not save its persistent variables (error %2)")
                                 .arg(v->name)
                                 .arg(saveWatch.error()));
    }
    c.setLogObserver({});
    Cli::print(QStringLiteral("%1 = %2%3\n")
                   .arg(v->name, displayValue(held, v->isText()), save ? QStringLiteral(" (saved)") : QString()));
    return 0;
}

int runSyncClock(const QCommandLineParser &args)
{
    LoggerConnection::Options o;
    QString error;
    if (!connectionOnly(args, &o, &error))
        return Cli::fail(error);
    LoggerConnection c;
    if (!c.open(o, &error))
        return Cli::fail(error);
    TarrowindFirmware &fw = *c.firmware();
    if (!exchange(c, fw.sendGetDateTime(), QStringLiteral("clock"), &error))
        return Cli::fail(error);
    const qlonglong before = fw.skewMs();
    const QDateTime clockBefore = fw.dateTime();
    if (!exchange(c, fw.sendSetDateTime(), QStringLiteral("set-clock"), &error))
        return Cli::fail(error);
    if (!exchange(c, fw.sendGetDateTime(), QStringLiteral("clock"), &error))
        return Cli::fail(error);
    Cli::print(QStringLiteral("clock before: %1\nskew before: %2 ms\nclock after: %3\nskew after: %4 ms\n")
                   .arg(isoMs(clockBefore))
                   .arg(before)
                   .arg(isoMs(fw.dateTime()))
                   .arg(fw.skewMs()));
    return 0;
}

}  // namespace

std::vector<CliCommand> protocolCommands()
{
    const QList<QCommandLineOption> connection = LoggerConnection::commandLineOptions();
    const QCommandLineOption save =
        Cli::flag({QStringLiteral("save")}, QStringLiteral("also keep the persistent variables over a restart"));
    return {
        {QStringLiteral("info"), QStringLiteral("--port PORT info [--json] [--timeout S]"),
         QStringLiteral("identify the logger: identity, clock and skew, statistics"),
         connection + QList<QCommandLineOption>{Cli::jsonOption()}, runInfo},
        {QStringLiteral("vars"),
         QStringLiteral("--port PORT vars [--json | --backup FILE | --restore FILE] [--timeout S]"),
         QStringLiteral("list the logger's variables, or back up or restore its persistent ones"),
         connection +
             QList<QCommandLineOption>{
                 Cli::jsonOption(),
                 Cli::option({QStringLiteral("backup")}, QStringLiteral("FILE"),
                             QStringLiteral("save every persistent variable and the logger's identity to FILE")),
                 Cli::option({QStringLiteral("restore")}, QStringLiteral("FILE"),
                             QStringLiteral("write FILE's variables to the logger, read them back and save "
                                            "them; refused for another model or an unknown variable")),
             },
         runVars},
        {QStringLiteral("set-var"), QStringLiteral("--port PORT set-var NAME VALUE [--save] [--timeout S]"),
         QStringLiteral("write a temporary or persistent variable (a number, or text for the 256-bit ones)"),
         connection + QList<QCommandLineOption>{save}, runSetVar},
        {QStringLiteral("sync-clock"), QStringLiteral("--port PORT sync-clock [--timeout S]"),
         QStringLiteral("set the logger's clock to the host's and show the skew before and after"), connection,
         runSyncClock},
    };
}
