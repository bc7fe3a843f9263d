#include "RecordingCommands.h"

#include "decider/FileRecording.h"
#include "decider/RecordingPlayback.h"
#include "decider/WrappedEllipticalDecider.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QMetaEnum>

#include <limits>

namespace {
bool takeFileArgument(const QCommandLineParser &parsed, QString *file, QString *error)
{
    const QStringList args = parsed.positionalArguments();
    if (args.size() != 1) {
        *error = args.isEmpty() ? QStringLiteral("missing FILE") : QStringLiteral("too many arguments");
        return false;
    }
    *file = args.first();
    return true;
}

bool loadRecording(const QString &file, FileRecording *recording, QString *error)
{
    if (!QFileInfo(file).isFile()) {
        *error = QStringLiteral("cannot read %1").arg(file);
        return false;
    }
    if (!recording->load(file)) {
        *error = QStringLiteral("%1 holds no magnetometer samples").arg(file);
        return false;
    }
    return true;
}

int recordingInfo(const QCommandLineParser &args)
{
    const bool json = args.isSet(QStringLiteral("json"));
    QString file, error;
    if (!takeFileArgument(args, &file, &error))
        return Cli::fail(error);
    FileRecording recording;
    if (!loadRecording(file, &recording, &error))
        return Cli::fail(error);
    if (json) {
        QJsonObject o;
        o.insert(QStringLiteral("file"), file);
        o.insert(QStringLiteral("sampleCount"), recording.sampleCount());
        o.insert(QStringLiteral("timestamped"), recording.timestamped());
        o.insert(QStringLiteral("sourceRate"), recording.sourceRate());
        Cli::printJson(o);
    } else {
        Cli::print(QStringLiteral("samples: %1\ntimestamped: %2\nsource rate: %3 Hz\n")
                       .arg(recording.sampleCount())
                       .arg(recording.timestamped() ? QStringLiteral("yes") : QStringLiteral("no"))
                       .arg(recording.sourceRate(), 0, 'f', 3));
    }
    return 0;
}

QJsonArray floats(const float *values, int count)
{
    QJsonArray a;
    for (int i = 0; i < count; ++i)
        a.append(double(values[i]));
    return a;
}

QString floatList(const float *values, int count)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QString::number(double(values[i]), 'g', 8);
    return parts.join(QLatin1Char(' '));
}

int decide(const QCommandLineParser &args)
{
    const bool json = args.isSet(QStringLiteral("json"));
    QString file, error;
    if (!takeFileArgument(args, &file, &error))
        return Cli::fail(error);
    FileRecording recording;
    if (!loadRecording(file, &recording, &error))
        return Cli::fail(error);

    // The same path as the program's "Recording Playback" source, minus the real-time pacing:
    // the playback stamps each sample with its clock, one pass over the recording.
    WrappedEllipticalDecider decider;
    decider.setAutoCalibrate(true);
    RecordingPlayback playback;
    const int total = recording.sampleCount();
    int fed = 0;
    QObject::connect(&playback, &RecordingPlayback::sampleAvailable, &decider, [&](const XyzSampleTimestamped &s) {
        if (fed < total) {
            decider.addSample(s);
            ++fed;
        }
    });
    playback.setRecording(&recording);
    if (total == 1)
        decider.addSample(recording.samples().front());  // playback needs two samples to loop
    else
        while (fed < total)
            playback.advanceTo(std::numeric_limits<int64_t>::max() / 4);

    const EllipticalParameters p = decider.liveDecider().parameters();
    const QString status =
        QString::fromLatin1(QMetaEnum::fromType<WrappedDecider::DeciderStatus>().valueToKey(decider.status()));
    const float center[3] = {p.centerX, p.centerY, p.centerZ};
    const float normal[3] = {p.normalX, p.normalY, p.normalZ};
    const float offset[3] = {p.sphereOffsetU, p.sphereOffsetV, p.sphereOffsetW};
    if (json) {
        QJsonObject params;
        params.insert(QStringLiteral("center"), floats(center, 3));
        params.insert(QStringLiteral("normal"), floats(normal, 3));
        params.insert(QStringLiteral("innerRadius"), double(p.innerRadius));
        params.insert(QStringLiteral("sphereOffset"), floats(offset, 3));
        params.insert(QStringLiteral("outerRadius"), double(p.outerRadius));
        params.insert(QStringLiteral("basis"), floats(p.basis, 9));
        params.insert(QStringLiteral("zMid"), double(p.zMid));
        params.insert(QStringLiteral("zScale"), double(p.zScale));
        QJsonObject o;
        o.insert(QStringLiteral("file"), file);
        o.insert(QStringLiteral("samples"), fed == 0 ? total : fed);
        o.insert(QStringLiteral("pulses"), decider.pulseCount());
        o.insert(QStringLiteral("status"), status);
        o.insert(QStringLiteral("parametersInstalled"), decider.liveDecider().status() != 0);
        o.insert(QStringLiteral("parameters"), params);
        Cli::printJson(o);
    } else {
        QString text;
        text += QStringLiteral("samples: %1\n").arg(fed == 0 ? total : fed);
        text += QStringLiteral("pulses: %1\n").arg(decider.pulseCount());
        text += QStringLiteral("status: %1\n").arg(status);
        text += QStringLiteral("center: %1\n").arg(floatList(center, 3));
        text += QStringLiteral("normal: %1\n").arg(floatList(normal, 3));
        text += QStringLiteral("inner radius: %1\n").arg(double(p.innerRadius), 0, 'g', 8);
        text += QStringLiteral("sphere offset: %1\n").arg(floatList(offset, 3));
        text += QStringLiteral("outer radius: %1\n").arg(double(p.outerRadius), 0, 'g', 8);
        text += QStringLiteral("basis: %1\n").arg(floatList(p.basis, 9));
        text += QStringLiteral("z mid: %1\n").arg(double(p.zMid), 0, 'g', 8);
        text += QStringLiteral("z scale: %1\n").arg(double(p.zScale), 0, 'g', 8);
        Cli::print(text);
    }
    return 0;
}
}  // namespace

std::vector<CliCommand> recordingCommands()
{
    return {
        {QStringLiteral("recording-info"),
         QStringLiteral("recording-info FILE [--json]"),
         QStringLiteral("sample count, timestamps and source rate of a magnetometer recording"),
         {Cli::jsonOption()},
         recordingInfo},
        {QStringLiteral("decide"),
         QStringLiteral("decide FILE [--json]"),
         QStringLiteral("learn and count revolutions in a recording; prints pulses, status and parameters"),
         {Cli::jsonOption()},
         decide},
    };
}
