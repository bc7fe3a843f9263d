#include "FileRecording.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>

#include <cmath>
#include <cstring>
#include <limits>

namespace {
constexpr uint32_t kBlockMagic = 0x2B947815u;
constexpr int kBlockSize = 520;
constexpr int kBlockEntries = 57;
constexpr int kBlockEntryOffset = 60;
constexpr int kBlockEntrySize = 8;

// One column value to raw counts (tenths): truncated toward zero as the float product is, then
// saturated; a value that is not a finite number does not convert.
bool toRaw(const QString &text, int16_t *out)
{
    bool ok = false;
    const float v = text.toFloat(&ok);
    if (!ok || !std::isfinite(v))
        return false;
    const float scaled = v * 10.0f;
    if (scaled >= 32767.f)
        *out = 32767;
    else if (scaled <= -32768.f)
        *out = -32768;
    else
        *out = int16_t(scaled);
    return true;
}

bool toNanos(const QString &text, int64_t *out)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds))
        return false;
    const double ns = seconds * 1e9;
    // Beyond +-2^63 ns (292 years) a time cannot be stored: treat as not a number.
    if (!(ns > -9.2e18 && ns < 9.2e18))
        return false;
    *out = int64_t(ns);
    return true;
}

template <typename T> T readLe(const char *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

FileRecording::Samples parseColumns(const QString &text, bool withTime)
{
    static const QRegularExpression three(QStringLiteral("^([^,\\s]+),\\s*([^,\\s]+),\\s*([^,\\s]+)"),
                                          QRegularExpression::MultilineOption);
    static const QRegularExpression four(QStringLiteral("^([^,\\s]+),\\s*([^,\\s]+),\\s*([^,\\s]+),\\s*([^,\\s]+)"),
                                         QRegularExpression::MultilineOption);
    FileRecording::Samples out;
    auto it = (withTime ? four : three).globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        XyzSampleTimestamped s;
        int16_t x = 0, y = 0, z = 0;
        if (!toRaw(m.captured(1), &x) || !toRaw(m.captured(2), &y) || !toRaw(m.captured(3), &z))
            continue;
        s.x = x;
        s.y = y;
        s.z = z;
        int64_t t = 0;  // the packed field cannot be written through a pointer
        if (withTime && !toNanos(m.captured(4), &t))
            continue;
        s.timestamp = t;
        out.push_back(s);
    }
    return out;
}
}  // namespace

FileRecording::FileRecording(QObject *parent) : QObject(parent) {}

FileRecording::Samples FileRecording::parseThreeColumns(const QString &text)
{
    return parseColumns(text, false);
}

FileRecording::Samples FileRecording::parseFourColumns(const QString &text)
{
    return parseColumns(text, true);
}

FileRecording::Samples FileRecording::parseSampleBlocks(const QByteArray &content)
{
    Samples out;
    const char *data = content.constData();
    for (int off = 0; off + kBlockSize <= content.size(); off += kBlockSize) {
        const char *block = data + off;
        if (readLe<uint32_t>(block) != kBlockMagic || block[4] != 0)
            continue;
        // Unsigned arithmetic: a corrupt time base wraps instead of overflowing.
        uint64_t t = uint64_t(readLe<int64_t>(block + 8));
        for (int k = 0; k < kBlockEntries; ++k) {
            const char *e = block + kBlockEntryOffset + k * kBlockEntrySize;
            const uint16_t delta = readLe<uint16_t>(e + 6);
            // delta counts 1/1024 s: 1e9 / 1024 = 1953125 / 2 ns.
            t += (uint64_t(delta) * 1953125u) >> 1;
            XyzSampleTimestamped s;
            s.x = readLe<int16_t>(e);
            s.y = readLe<int16_t>(e + 2);
            s.z = readLe<int16_t>(e + 4);
            s.timestamp = int64_t(t);
            out.push_back(s);
        }
    }
    return out;
}

bool FileRecording::validateTimestamps(Samples &samples)
{
    if (samples.empty())
        return false;
    size_t positive = 0, ordered = 0;
    int64_t largest = 0;
    for (const auto &s : samples) {
        if (s.timestamp > 0)
            ++positive;
        if (s.timestamp >= largest) {
            ++ordered;
            largest = s.timestamp;
        }
    }
    const double needed = 0.8 * double(samples.size());
    if (double(positive) < needed || double(ordered) < needed) {
        for (auto &s : samples)
            s.timestamp = 0;
        return false;
    }
    // Repair also when nothing went backwards: equal neighbours (a coarse clock) are spread
    // too. On a strictly increasing list the repair changes nothing.
    repairTimestamps(samples);
    return true;
}

void FileRecording::repairTimestamps(Samples &samples)
{
    // Integer arithmetic throughout: timestamps since 1970 need all 63 bits, and a float would
    // move them by up to a minute. Worked on a copy: the packed field is not addressable.
    const size_t n = samples.size();
    std::vector<int64_t> t(n);
    for (size_t i = 0; i < n; ++i)
        t[i] = samples[i].timestamp;
    auto halfGap = [](int64_t a, int64_t b) { return int64_t((uint64_t(b) - uint64_t(a)) / 2u); };
    if (n >= 3) {
        for (size_t i = 0; i + 2 < n; ++i) {
            const int64_t a = t[i], b = t[i + 1], c = t[i + 2];
            const bool dip = b < a && b <= c;
            const bool peak = b > a && b >= c;
            if ((dip || peak) && a <= c) {
                // a + h + h stays between a and c; 2 * h alone may not fit (crafted times).
                const int64_t h = halfGap(a, c);
                t[i] = a + h;
                t[i + 1] = a + h + h;
            }
        }
    }
    size_t kept = n;
    size_t p = 0;
    while (p < n) {
        size_t q = p + 1;
        while (q < n && t[q] <= t[p])
            ++q;
        if (q == n) {
            kept = p + 1;  // an open run at the end keeps only its first sample
            break;
        }
        const size_t r = q - p;
        if (r >= 2) {
            // Offsets from the base in unsigned arithmetic: a run may span more than the
            // int64 range allows (times either side of 1970), while each result lies between
            // t[p] and t[q] and fits.
            const uint64_t base = uint64_t(t[p]);
            const uint64_t step = (uint64_t(t[q]) - base) / r;
            for (size_t i = 0; i < r; ++i)
                t[p + i] = int64_t(base + uint64_t(i + 1) * step);
        }
        p = q;
    }
    samples.resize(kept);
    for (size_t i = 0; i < kept; ++i)
        samples[i].timestamp = t[i];
}

bool FileRecording::load(const QString &filename)
{
    setFilename(filename);
    QByteArray content;
    QFile file(filename);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Cannot read recording" << filename << file.errorString();
        return false;
    }
    // The size check covers files; reading one byte past the limit covers pipes and devices.
    if (file.size() <= kMaxFileBytes)
        content = file.read(kMaxFileBytes + 1);
    if (file.size() > kMaxFileBytes || content.size() > kMaxFileBytes) {
        qWarning() << "Recording" << filename << "is larger than" << kMaxFileBytes / (1024 * 1024) << "MiB; not loaded";
        return false;
    }
    return loadFromData(content);
}

bool FileRecording::loadFromData(const QByteArray &content)
{
    if (content.isEmpty())
        return false;
    const QString text = QString::fromLatin1(content);
    Samples three = parseThreeColumns(text);
    Samples four = parseFourColumns(text);
    Samples blocks = parseSampleBlocks(content);
    const bool threeTs = validateTimestamps(three);
    const bool fourTs = validateTimestamps(four);
    const bool blocksTs = validateTimestamps(blocks);

    Samples *chosen = &three;
    bool chosenTs = threeTs;
    if (!blocks.empty() && blocksTs) {
        chosen = &blocks;
        chosenTs = blocksTs;
    } else if (double(four.size()) > 0.8 * double(three.size())) {
        chosen = &four;
        chosenTs = fourTs;
    }
    setTimestamped(chosenTs);
    m_samples = std::move(*chosen);
    shiftToTimeZero();
    emit sampleCountChanged(sampleCount());
    emit sourceRateChanged();
    return !m_samples.empty();
}

bool FileRecording::save(const QString &filename)
{
    if (m_samples.empty())
        return false;
    const QFileInfo info(filename);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    // Written beside the target and renamed into place only when complete.
    QSaveFile file(filename);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QTextStream out(&file);
    // A decimal point whatever the user's locale: the loader and other programs read these.
    out.setLocale(QLocale::c());
    out << "x,y,z,time\r\n";
    for (const auto &s : m_samples) {
        // Seconds with nanosecond digits: the default six significant digits would collapse
        // timestamps since 1970 into a handful of equal values.
        out << s.x * 0.1 << ',' << s.y * 0.1 << ',' << s.z * 0.1 << ','
            << QString::number(double(s.timestamp) / 1e9, 'f', 9) << "\r\n";
    }
    out.flush();
    if (out.status() != QTextStream::Ok) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void FileRecording::shiftToTimeZero()
{
    if (m_samples.empty() || m_samples.front().timestamp == 0)
        return;
    const int64_t first = m_samples.front().timestamp;
    for (auto &s : m_samples) {
        if (s.timestamp < first) {
            s.timestamp = 0;
            continue;
        }
        // Unsigned difference: extreme (corrupt) values must neither overflow nor wrap negative.
        const uint64_t shifted = uint64_t(s.timestamp) - uint64_t(first);
        s.timestamp = shifted > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                              : int64_t(shifted);
    }
}

double FileRecording::sourceRate() const
{
    if (m_samples.empty() || m_samples.back().timestamp == 0)
        return 0.0;
    return double(m_samples.size()) / (double(m_samples.back().timestamp) / 1e9);
}

void FileRecording::clear()
{
    setFilename(QString());
    const bool hadSamples = !m_samples.empty();
    m_samples.clear();
    setTimestamped(false);
    // Bindings on the count (and a playback of this recording) must see it empty.
    if (hadSamples) {
        emit sampleCountChanged(0);
        emit sourceRateChanged();
    }
}

void FileRecording::addSample(const XyzSampleTimestamped &sample)
{
    m_samples.push_back(sample);
    emit sampleCountChanged(sampleCount());
}

void FileRecording::setFilename(const QString &filename)
{
    if (filename == m_filename)
        return;
    m_filename = filename;
    emit filenameChanged(filename);
}

void FileRecording::setTimestamped(bool timestamped)
{
    if (timestamped == m_timestamped)
        return;
    m_timestamped = timestamped;
    emit timestampedChanged(timestamped);
}
