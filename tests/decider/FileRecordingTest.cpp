#include "decider/FileRecording.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <clocale>
#include <cstring>
#include <string>

namespace {
using Samples = FileRecording::Samples;

XyzSampleTimestamped sample(int16_t x, int16_t y, int16_t z, int64_t t)
{
    XyzSampleTimestamped s;
    s.x = x;
    s.y = y;
    s.z = z;
    s.timestamp = t;
    return s;
}

Samples withTimes(std::initializer_list<int64_t> times)
{
    Samples out;
    int16_t i = 0;
    for (int64_t t : times)
        out.push_back(sample(i, i, i, t)), ++i;
    return out;
}

std::vector<int64_t> timesOf(const Samples &s)
{
    std::vector<int64_t> out;
    for (const auto &e : s)
        out.push_back(int64_t(e.timestamp));
    return out;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

// One 520-byte sample block: magic, flag 0, base time, 57 entries of x, y, z, delta.
QByteArray sampleBlock(int64_t base, int16_t firstX, uint16_t delta, uint32_t magic = 0x2B947815u)
{
    char b[520] = {};
    std::memcpy(b, &magic, 4);
    std::memcpy(b + 8, &base, 8);
    for (int k = 0; k < 57; ++k) {
        const int16_t xyz[3] = {int16_t(firstX + k), int16_t(-k), 7};
        std::memcpy(b + 60 + 8 * k, xyz, 6);
        std::memcpy(b + 66 + 8 * k, &delta, 2);
    }
    return QByteArray(b, 520);
}
}  // namespace

TEST(FileRecordingParse, ColumnsConvertToTenthsTruncated)
{
    const Samples four = FileRecording::parseFourColumns(QStringLiteral("1.5, 2.5, 3.5, 0.25\r\n"));
    ASSERT_EQ(four.size(), 1u);
    EXPECT_EQ(four[0].x, 15);
    EXPECT_EQ(four[0].y, 25);
    EXPECT_EQ(four[0].z, 35);
    EXPECT_EQ(int64_t(four[0].timestamp), 250000000);

    const Samples three = FileRecording::parseThreeColumns(
        QStringLiteral("x,y,z\n-1.29,0.07,12\nnot,a,number\n4,5\n 1,2,3\n3276.9,-4000,nan\n"));
    // Header and the short line do not convert; the indented line does not start a match; the
    // out-of-range values saturate and NaN does not convert.
    ASSERT_EQ(three.size(), 1u);
    EXPECT_EQ(three[0].x, -12);
    EXPECT_EQ(three[0].y, 0);
    EXPECT_EQ(three[0].z, 120);
    const Samples big = FileRecording::parseThreeColumns(QStringLiteral("3276.9,-4000,1e30\n"));
    ASSERT_EQ(big.size(), 1u);
    EXPECT_EQ(big[0].x, 32767);
    EXPECT_EQ(big[0].y, -32768);
    EXPECT_EQ(big[0].z, 32767);
}

TEST(FileRecordingParse, SampleBlocksAdvanceByTheirDeltas)
{
    QByteArray data = sampleBlock(5000000000LL, 100, 2);
    data += sampleBlock(0, 0, 1, 0x12345678u);  // wrong magic: skipped
    QByteArray flagged = sampleBlock(0, 0, 1);
    flagged[4] = 1;  // non-zero flag: skipped
    data += flagged;
    data += sampleBlock(9000000000LL, -50, 1024);
    data += QByteArray(300, 'x');  // short tail: ignored
    const Samples s = FileRecording::parseSampleBlocks(data);
    ASSERT_EQ(s.size(), 114u);
    EXPECT_EQ(s[0].x, 100);
    EXPECT_EQ(int64_t(s[0].timestamp), 5000000000LL + 1953125);  // 2/1024 s
    EXPECT_EQ(int64_t(s[56].timestamp), 5000000000LL + 57 * 1953125);
    EXPECT_EQ(s[57].x, -50);
    EXPECT_EQ(int64_t(s[57].timestamp), 10000000000LL);  // one second after 9 s
    EXPECT_EQ(int64_t(s[113].timestamp), 9000000000LL + 57LL * 1000000000LL);
    EXPECT_EQ(s[113].y, -56);
}

TEST(FileRecordingTimestamps, ValidationAndRepair)
{
    // Too few positive timestamps: zeroed, not timestamped.
    Samples zeros = withTimes({0, 0, 0, 5, 6});
    EXPECT_FALSE(FileRecording::validateTimestamps(zeros));
    for (const auto &s : zeros)
        EXPECT_EQ(int64_t(s.timestamp), 0);
    // Too many out of order: zeroed.
    Samples shuffled = withTimes({50, 40, 30, 20, 10});
    EXPECT_FALSE(FileRecording::validateTimestamps(shuffled));
    EXPECT_EQ(int64_t(shuffled[0].timestamp), 0);
    Samples empty;
    EXPECT_FALSE(FileRecording::validateTimestamps(empty));

    // Mostly increasing with equal neighbours: timestamped, the runs spread evenly.
    Samples runs = withTimes({100, 200, 200, 200, 500, 600, 700, 800, 900, 1000, 1100, 1200});
    EXPECT_TRUE(FileRecording::validateTimestamps(runs));
    // (The rising edge into the plateau counts as a peak first: 100 moves half way to 200.)
    EXPECT_EQ(timesOf(runs), (std::vector<int64_t>{150, 300, 400, 500, 500, 600, 700, 800, 900, 1000, 1100, 1200}));

    // A spike: t[i] moves to the middle of the gap to t[i+2], the spike to its far end; the
    // equal pair this leaves is then spread.
    Samples spike = withTimes({100, 350, 300, 400, 500, 600, 700, 800, 900, 1000});
    EXPECT_TRUE(FileRecording::validateTimestamps(spike));
    EXPECT_EQ(timesOf(spike), (std::vector<int64_t>{200, 350, 400, 400, 500, 600, 700, 800, 900, 1000}));
    // A dip right after a rise.
    Samples dip = withTimes({100, 200, 150, 400, 500, 600, 700, 800, 900, 1000});
    EXPECT_TRUE(FileRecording::validateTimestamps(dip));
    EXPECT_EQ(timesOf(dip)[0], 125);  // 200 is first seen as a peak over 100..150
    EXPECT_EQ(timesOf(dip)[1], 275);
    EXPECT_EQ(timesOf(dip)[2], 400);

    // A run still open at the end is cut to its first sample.
    Samples tail = withTimes({100, 200, 300, 400, 500, 600, 700, 800, 800, 800});
    EXPECT_TRUE(FileRecording::validateTimestamps(tail));
    EXPECT_EQ(tail.size(), 8u);
    EXPECT_EQ(int64_t(tail.back().timestamp), 800);

    // Timestamps since 1970 keep nanosecond precision through the repair.
    const int64_t e = 1765000000123456789LL;
    Samples epoch = withTimes({e, e + 10, e + 10, e + 40, e + 50, e + 60, e + 70, e + 80, e + 90, e + 100});
    EXPECT_TRUE(FileRecording::validateTimestamps(epoch));
    EXPECT_EQ(timesOf(epoch)[0], e + 5);
    EXPECT_EQ(timesOf(epoch)[1], e + 25);
    EXPECT_EQ(timesOf(epoch)[2], e + 40);
}

TEST(FileRecording, LoadChoosesTheRightFormat)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    FileRecording r;
    QSignalSpy counts(&r, &FileRecording::sampleCountChanged);
    QSignalSpy stamped(&r, &FileRecording::timestampedChanged);

    // Four columns with increasing times: timestamped, shifted to start at 0.
    QByteArray csv = "x,y,z,time\r\n";
    for (int i = 0; i < 100; ++i)
        csv += QByteArray::number(i * 0.1) + "," + QByteArray::number(-i) + ",3.5," +
               QByteArray::number(10.0 + i * 0.01, 'f', 3) + "\r\n";
    const QString csvPath = dir.filePath("four.csv");
    ASSERT_TRUE(writeFile(csvPath, csv));
    ASSERT_TRUE(r.load(csvPath));
    EXPECT_EQ(r.filename(), csvPath);
    EXPECT_EQ(r.sampleCount(), 100);
    EXPECT_TRUE(r.timestamped());
    EXPECT_EQ(stamped.count(), 1);
    EXPECT_EQ(int64_t(r.samples()[0].timestamp), 0);
    EXPECT_NEAR(double(r.samples()[99].timestamp), 0.99e9, 1000.0);
    EXPECT_EQ(r.samples()[5].y, -50);
    EXPECT_NEAR(r.sourceRate(), 100.0 / 0.99, 0.01);
    EXPECT_EQ(counts.last().at(0).toInt(), 100);

    // Three columns: no timestamps, rate 0.
    QByteArray three;
    for (int i = 0; i < 50; ++i)
        three += "1,2," + QByteArray::number(i) + "\n";
    const QString threePath = dir.filePath("three.csv");
    ASSERT_TRUE(writeFile(threePath, three));
    ASSERT_TRUE(r.load(threePath));
    EXPECT_EQ(r.sampleCount(), 50);
    EXPECT_FALSE(r.timestamped());
    EXPECT_EQ(r.sourceRate(), 0.0);
    EXPECT_EQ(r.samples()[49].z, 490);

    // Mostly three columns with a few four-column lines: the three-column reading wins.
    QByteArray mixed = three + "1,2,3,4\n1,2,3,5\n";
    const QString mixedPath = dir.filePath("mixed.csv");
    ASSERT_TRUE(writeFile(mixedPath, mixed));
    ASSERT_TRUE(r.load(mixedPath));
    EXPECT_EQ(r.sampleCount(), 52);
    EXPECT_FALSE(r.timestamped());

    // Sample blocks.
    const QString binPath = dir.filePath("capture.bin");
    ASSERT_TRUE(writeFile(binPath, sampleBlock(1000, 1, 10) + sampleBlock(2000000000LL, 1, 10)));
    ASSERT_TRUE(r.load(binPath));
    EXPECT_EQ(r.sampleCount(), 114);
    EXPECT_TRUE(r.timestamped());
    EXPECT_EQ(int64_t(r.samples()[0].timestamp), 0);

    // Nothing usable: false, count 0 announced; an unreadable or empty file changes nothing.
    const QString junkPath = dir.filePath("junk.txt");
    ASSERT_TRUE(writeFile(junkPath, "hello world\n"));
    counts.clear();
    EXPECT_FALSE(r.load(junkPath));
    EXPECT_EQ(r.sampleCount(), 0);
    ASSERT_EQ(counts.count(), 1);
    EXPECT_EQ(counts.last().at(0).toInt(), 0);
    ASSERT_TRUE(r.load(threePath));
    counts.clear();
    EXPECT_FALSE(r.load(dir.filePath("missing.csv")));
    EXPECT_EQ(r.sampleCount(), 50);
    EXPECT_EQ(counts.count(), 0);
}

TEST(FileRecording, SaveWritesCsvThatLoadsBackExactly)
{
    QTemporaryDir dir;
    FileRecording r;
    EXPECT_FALSE(r.save(dir.filePath("empty.csv")));
    const int64_t base = 1765000000000000000LL;
    // Every raw value survives the tenths formatting and the float parse.
    for (int v = -32768; v <= 32767; v += 7)
        r.addSample(sample(int16_t(v), int16_t(-v - 1), int16_t(v / 3), base + (v + 32768) * 2500000LL));
    r.addSample(sample(32767, -32768, 0, base + 65536 * 2500000LL));
    const QString path = dir.filePath("sub/folder/rec.csv");
    ASSERT_TRUE(r.save(path));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readLine().startsWith("x,y,z,time\r\n"));
    f.close();

    FileRecording back;
    ASSERT_TRUE(back.load(path));
    ASSERT_EQ(back.sampleCount(), r.sampleCount());
    EXPECT_TRUE(back.timestamped());
    for (int i = 0; i < r.sampleCount(); ++i) {
        const auto &a = r.samples()[size_t(i)];
        const auto &b = back.samples()[size_t(i)];
        ASSERT_EQ(a.x, b.x) << i;
        ASSERT_EQ(a.y, b.y) << i;
        ASSERT_EQ(a.z, b.z) << i;
        // Shifted to zero on load; the spacing is kept to well under a microsecond.
        ASSERT_NEAR(double(b.timestamp), double(a.timestamp - base), 1000.0) << i;
    }
    // The folder of the target is left with the file alone (no temporary left behind).
    EXPECT_EQ(QDir(dir.filePath("sub/folder")).entryList(QDir::Files), QStringList{"rec.csv"});
    // An unwritable target fails.
    EXPECT_FALSE(r.save(QStringLiteral("/proc/version/rec.csv")));

    QSignalSpy counts(&r, &FileRecording::sampleCountChanged);
    r.clear();
    EXPECT_EQ(r.sampleCount(), 0);
    ASSERT_EQ(counts.count(), 1);
    EXPECT_EQ(counts.last().at(0).toInt(), 0);
    EXPECT_TRUE(r.filename().isEmpty());
    EXPECT_FALSE(r.timestamped());
}

TEST(FileRecording, ShiftToTimeZeroClampsEarlierSamples)
{
    FileRecording r;
    r.addSample(sample(0, 0, 0, 1000));
    r.addSample(sample(0, 0, 0, 500));
    r.addSample(sample(0, 0, 0, 4000));
    r.shiftToTimeZero();
    EXPECT_EQ(int64_t(r.samples()[0].timestamp), 0);
    EXPECT_EQ(int64_t(r.samples()[1].timestamp), 0);
    EXPECT_EQ(int64_t(r.samples()[2].timestamp), 3000);
    EXPECT_NEAR(r.sourceRate(), 3.0 / 3e-6, 1.0);
}

// Crafted times around the ends of the int64 range must go through the repair without signed
// overflow (the sanitizer build aborts on one) and come out in order.
TEST(FileRecordingTimestamps, RepairSurvivesExtremeTimes)
{
    // A peak whose halves add up to more than int64 can hold: -4.7e9 s, 4.8e9 s, 4.7e9 s.
    QByteArray csv = "x,y,z,time\r\n1,2,3,-4.7e9\r\n1,2,3,4.8e9\r\n1,2,3,4.7e9\r\n";
    for (int i = 0; i < 7; ++i)
        csv += "1,2,3," + QByteArray::number(4.9e9 + i * 1e6, 'f', 0) + "\r\n";
    FileRecording r;
    ASSERT_TRUE(r.loadFromData(csv));
    ASSERT_TRUE(r.timestamped());
    ASSERT_EQ(r.sampleCount(), 10);
    for (int i = 1; i < r.sampleCount(); ++i)
        EXPECT_LE(int64_t(r.samples()[size_t(i - 1)].timestamp), int64_t(r.samples()[size_t(i)].timestamp)) << i;
    EXPECT_EQ(int64_t(r.samples().back().timestamp), int64_t(4.906e18) - int64_t(r.samples().front().timestamp));

    // A run spread over more than int64 can span: from -9e18 ns up to 9e18 ns.
    Samples run = withTimes({-9000000000000000000LL, -9000000000000000000LL, 9000000000000000000LL,
                             9000000000000000001LL, 9000000000000000002LL, 9000000000000000003LL, 9000000000000000004LL,
                             9000000000000000005LL, 9000000000000000006LL, 9000000000000000007LL});
    ASSERT_TRUE(FileRecording::validateTimestamps(run));
    EXPECT_EQ(timesOf(run)[0], 0);
    EXPECT_EQ(timesOf(run)[1], 9000000000000000000LL);
    EXPECT_EQ(timesOf(run)[2], 9000000000000000000LL);
}

// The user's locale may use a decimal comma (printf, QLocale); a saved recording must not
// notice it, and what it wrote must load back under it.
TEST(FileRecording, SaveAndLoadIgnoreTheProcessLocale)
{
    QTemporaryDir dir;
    FileRecording r;
    for (int i = 0; i < 40; ++i)
        r.addSample(sample(int16_t(15 + i), int16_t(-255 - i), int16_t(i % 3), 1000000000LL + i * 2500001LL));
    ASSERT_TRUE(r.save(dir.filePath("c.csv")));

    const std::string savedC = std::setlocale(LC_ALL, nullptr);
    const QLocale savedQt;
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the de_DE.UTF-8 locale is missing: run scripts/setup-deps";
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const bool saved = r.save(dir.filePath("de.csv"));
    FileRecording back;
    const bool loaded = back.load(dir.filePath("c.csv"));
    QLocale::setDefault(savedQt);
    std::setlocale(LC_ALL, savedC.c_str());

    ASSERT_TRUE(saved);
    QFile c(dir.filePath("c.csv")), de(dir.filePath("de.csv"));
    ASSERT_TRUE(c.open(QIODevice::ReadOnly) && de.open(QIODevice::ReadOnly));
    const QByteArray written = c.readAll();
    EXPECT_EQ(de.readAll().toStdString(), written.toStdString());
    EXPECT_TRUE(written.contains("\r\n1.5,-25.5,0,1.000000000\r\n"));
    ASSERT_TRUE(loaded);
    ASSERT_EQ(back.sampleCount(), 40);
    EXPECT_TRUE(back.timestamped());
    EXPECT_EQ(back.samples()[1].x, 16);
    EXPECT_EQ(back.samples()[1].y, -256);
    EXPECT_EQ(int64_t(back.samples()[1].timestamp), 2500001LL);
}

// A file above the limit is refused before it is read: no samples change and nothing of its
// size is held in memory (the test file is sparse).
TEST(FileRecording, OversizedFileIsRefused)
{
    QTemporaryDir dir;
    const QString small = dir.filePath("small.csv");
    ASSERT_TRUE(writeFile(small, "1,2,3\n4,5,6\n"));
    FileRecording r;
    ASSERT_TRUE(r.load(small));
    const QString big = dir.filePath("big.csv");
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.write("1,2,3\n") == 6);
        ASSERT_TRUE(f.resize(FileRecording::kMaxFileBytes + 1));
    }
    QSignalSpy counts(&r, &FileRecording::sampleCountChanged);
    EXPECT_FALSE(r.load(big));
    EXPECT_EQ(r.sampleCount(), 2);
    EXPECT_EQ(counts.count(), 0);
}
