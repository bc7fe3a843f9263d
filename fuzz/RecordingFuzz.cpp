// The recording loader on arbitrary file content: CSV in three or four columns, sample blocks,
// and whatever lies between. Also replays the result through timestamp repair and playback
// bookkeeping, which must cope with any timestamps the loader let through.

#include "decider/FileRecording.h"
#include "decider/RecordingPlayback.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_recording";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = [] {
        qInstallMessageHandler(quiet);
        return new QCoreApplication(argc, argv);
    }();
    (void)app;

    const QByteArray content(reinterpret_cast<const char *>(data), int(size));
    FileRecording recording;
    const bool loaded = recording.loadFromData(content);
    if (loaded != (recording.sampleCount() > 0))
        std::abort();
    const auto &samples = recording.samples();
    // After the shift to time zero no timestamp is negative.
    for (const auto &s : samples)
        if (s.timestamp < 0)
            std::abort();
    if (recording.sourceRate() < 0.0)
        std::abort();

    RecordingPlayback playback;
    int emitted = 0;
    QObject::connect(&playback, &RecordingPlayback::sampleAvailable, [&](const XyzSampleTimestamped &) { ++emitted; });
    playback.setRecording(&recording);
    playback.advanceTo(1000000000LL);
    playback.advanceTo(INT64_MAX / 2);
    if (emitted > 2 * RecordingPlayback::kMaxSamplesPerTick)
        std::abort();
    return 0;
}
