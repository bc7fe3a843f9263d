#include "MessageCapture.h"
#include "PulseBlockBuilder.h"
#include "pulselog/PulseLog.h"
#include "PulseLogTestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cmath>

using TestSupport::readFile;
using TestSupport::writeFile;

namespace {
constexpr int64_t kTenth = 100000000;
constexpr uint64_t kBase = 17800000000ull;
constexpr int64_t kBaseNs = int64_t(kBase) * kTenth;

QByteArray block(uint64_t baseTenths, std::initializer_list<uint32_t> pulses, int kind = 1, uint16_t mv = 3300,
                 uint16_t tcode = 22937)
{
    PulseBlockBuilder b;
    b.kind = kind;
    b.baseTenths = baseTenths;
    b.millivolts = mv;
    b.temperatureCode = tcode;
    for (uint32_t v : pulses)
        b.pulse(v);
    return b.build();
}

QByteArray metaItem(const QByteArray &json, int64_t claimedLength = -1)
{
    QByteArray item(8, '\0');
    qToLittleEndian<quint32>(0x1129B4BDu, reinterpret_cast<uchar *>(item.data()));
    qToLittleEndian<quint32>(quint32(claimedLength >= 0 ? claimedLength : json.size()),
                             reinterpret_cast<uchar *>(item.data() + 4));
    return item + json;
}

std::vector<std::pair<int64_t, uint32_t>> entriesOf(const PulseLog &log)
{
    std::vector<std::pair<int64_t, uint32_t>> out;
    for (const auto &e : log.entries())
        out.emplace_back(e.time, e.count);
    return out;
}
using Pairs = std::vector<std::pair<int64_t, uint32_t>>;
}  // namespace

TEST(PulseLogModel, ChunksMergeIntoOneTimeline)
{
    PulseLog log;
    QSignalSpy changed(&log, &PulseLog::pulseLogChanged);
    log.appendRawData(block(kBase, {0, 0, 3}));
    log.appendRawData(block(kBase, {0, 3}));    // same base time: counts add up
    log.appendRawData(block(kBase + 100, {}));  // no pulses, still marks its base time
    EXPECT_EQ(changed.count(), 3);
    EXPECT_EQ(entriesOf(log), (Pairs{{kBaseNs, 3}, {kBaseNs + 3 * kTenth, 2}, {kBaseNs + 100 * kTenth, 0}}));
    EXPECT_EQ(log.totalPulseCount(), 5);
    EXPECT_EQ(log.environmentReadings().size(), 2u);
}

TEST(PulseLogModel, LongChunkKeepsEveryPulse)
{
    // A chunk longer than a record, with more pulses than a record holds, after a record that
    // ends on the long chunk's base time.
    PulseBlockBuilder b;
    b.baseTenths = kBase + 3;
    b.size = 1600;
    for (int i = 0; i < 2500; ++i)
        b.pulse(1);
    PulseLog log;
    log.appendRawDataNoSignal(block(kBase, {0, 3}));
    log.appendRawDataNoSignal(b.build());
    Pairs expected{{kBaseNs, 1}, {kBaseNs + 3 * kTenth, 1}};
    for (int64_t i = 1; i <= 2500; ++i)
        expected.push_back({kBaseNs + (3 + i) * kTenth, 1});
    EXPECT_EQ(entriesOf(log), expected);
    EXPECT_EQ(log.totalPulseCount(), 2502);
}

TEST(PulseLogModel, RawBytesKeepEveryChunkEvenUndecodable)
{
    PulseLog log;
    QSignalSpy changed(&log, &PulseLog::pulseLogChanged);
    const QByteArray good = block(kBase, {0});
    const QByteArray blank(520, char(0xFF));
    const QByteArray junk("not a block");
    log.appendRawDataNoSignal(good);
    log.appendRawDataNoSignal(blank);
    log.appendRawDataNoSignal(junk);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(log.rawData(), good + blank + junk);
    EXPECT_EQ(log.totalPulseCount(), 1);
}

TEST(PulseLogModel, AddPulsesKeepsOneSortedEntryPerTime)
{
    PulseLog log;
    QSignalSpy changed(&log, &PulseLog::pulseLogChanged);
    log.addPulses(500, 1);
    log.addPulses(100, 2);
    log.addPulsesNoSignal(300, 4);
    log.addPulsesNoSignal(100, 1);
    log.addPulsesNoSignal(500, 1);
    log.addPulsesNoSignal(900, 7);
    EXPECT_EQ(changed.count(), 2);
    EXPECT_EQ(entriesOf(log), (Pairs{{100, 3}, {300, 4}, {500, 2}, {900, 7}}));
    EXPECT_EQ(log.totalPulseCount(), 16);
}

TEST(PulseLogModel, ExtremesIgnoreInvalidReadings)
{
    PulseLog log;
    auto reading = [](float v, float t) { return PulseLogTypes::EnvironmentReading{v, t}; };
    log.appendRawDataNoSignal(block(kBase, {0}, 0));  // kind 0: 0.0 V, -50 °C
    EXPECT_TRUE(std::isnan(log.minimumVoltage()));
    EXPECT_TRUE(std::isnan(log.maximumTemperatureCelsiusDegrees()));
    EXPECT_EQ(log.environmentReadings().size(), 1u);

    log.addEnvironmentReadingNoSignal(1, reading(3.5f, 20.0f));
    log.addEnvironmentReadingNoSignal(2, reading(3.1f, 25.0f));
    log.addEnvironmentReadingNoSignal(3, reading(3.9f, -10.0f));
    log.addEnvironmentReadingNoSignal(4, reading(0.005f, -49.995f));  // invalid on both counts
    log.addEnvironmentReadingNoSignal(5, reading(NAN, NAN));
    EXPECT_FLOAT_EQ(log.minimumVoltage(), 3.1f);
    EXPECT_FLOAT_EQ(log.maximumVoltage(), 3.9f);
    EXPECT_FLOAT_EQ(log.minimumTemperatureCelsiusDegrees(), -10.0f);
    EXPECT_FLOAT_EQ(log.maximumTemperatureCelsiusDegrees(), 25.0f);

    // The first reading for a time stays, but a later one still counts for the extremes.
    QSignalSpy changed(&log, &PulseLog::pulseLogChanged);
    log.addEnvironmentReading(1, reading(4.5f, 30.0f));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_FLOAT_EQ(log.environmentReadings().at(1).voltage, 3.5f);
    EXPECT_FLOAT_EQ(log.maximumVoltage(), 4.5f);
    EXPECT_FLOAT_EQ(log.maximumTemperatureCelsiusDegrees(), 30.0f);
}

TEST(PulseLogModel, ClearKeepsMetadataSilently)
{
    PulseLog log;
    log.setMetaData({{"Notes", "keep me"}});
    log.appendRawDataNoSignal(block(kBase, {0, 1}));
    QSignalSpy changed(&log, &PulseLog::pulseLogChanged);
    QSignalSpy meta(&log, &PulseLog::metaDataChanged);
    log.clear();
    EXPECT_EQ(changed.count() + meta.count(), 0);
    EXPECT_TRUE(log.entries().empty());
    EXPECT_TRUE(log.environmentReadings().empty());
    EXPECT_TRUE(log.rawData().isEmpty());
    EXPECT_EQ(log.totalPulseCount(), 0);
    EXPECT_TRUE(std::isnan(log.minimumVoltage()));
    EXPECT_EQ(log.metaData().value("Notes").toString(), QString("keep me"));

    // setMetaData reports even an unchanged map
    log.setMetaData(log.metaData());
    EXPECT_EQ(meta.count(), 1);
    EXPECT_EQ(PulseLog::fixedFieldNames().size(), 17);
    EXPECT_EQ(PulseLog::fixedFieldNames().first(), QString("Logger Serial"));
    EXPECT_EQ(PulseLog::fixedFieldNames().last(), QString("Notes"));
}

TEST(PulseLogModel, CloneCopiesTheModelButNotRawBytesOrMetadata)
{
    PulseLog log;
    log.setMetaData({{"Notes", "x"}});
    log.appendRawDataNoSignal(block(kBase, {0, 2}));
    PulseLog *clone = log.qmlClone();
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(entriesOf(*clone), entriesOf(log));
    EXPECT_EQ(clone->environmentReadings().size(), 1u);
    EXPECT_FLOAT_EQ(clone->minimumVoltage(), 3.3f);
    EXPECT_EQ(clone->totalPulseCount(), 2);
    EXPECT_TRUE(clone->rawData().isEmpty());
    EXPECT_TRUE(clone->metaData().isEmpty());
    delete clone;

    QObject parent;
    PulseLog *owned = log.qmlClone(&parent);
    EXPECT_EQ(owned->parent(), &parent);
}

class RawLogFileTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }
};

TEST_F(RawLogFileTest, SaveAndLoadRestoreEverything)
{
    PulseLog log;
    log.appendRawDataNoSignal(block(kBase, {0, 0, 3}, 1, 3400, 30000));
    log.appendRawDataNoSignal(QByteArray(520, char(0xFF)));
    log.appendRawDataNoSignal(block(kBase + 50, {1, 4}, 2, 3100, 20000));
    log.appendRawDataNoSignal(block(kBase + 90, {0}, 0));
    log.setMetaData({{"Customer Name", "Ann \"A\" Lee"}, {"Custom", "ü"}});

    const QString file = path("sub/dir/session.rlog");
    ASSERT_TRUE(log.saveRaw(file));
    PulseLog loaded;
    QSignalSpy changed(&loaded, &PulseLog::pulseLogChanged);
    QSignalSpy meta(&loaded, &PulseLog::metaDataChanged);
    ASSERT_TRUE(loaded.load(file));
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(meta.count(), 1);
    EXPECT_EQ(entriesOf(loaded), entriesOf(log));
    EXPECT_EQ(loaded.rawData(), log.rawData());
    EXPECT_EQ(loaded.metaData(), log.metaData());
    EXPECT_EQ(loaded.totalPulseCount(), log.totalPulseCount());
    ASSERT_EQ(loaded.environmentReadings().size(), log.environmentReadings().size());
    for (auto a = loaded.environmentReadings().begin(), b = log.environmentReadings().begin();
         a != loaded.environmentReadings().end(); ++a, ++b) {
        EXPECT_EQ(a->first, b->first);
        EXPECT_FLOAT_EQ(a->second.voltage, b->second.voltage);
    }
    EXPECT_FLOAT_EQ(loaded.minimumVoltage(), 3.1f);
    EXPECT_FLOAT_EQ(loaded.maximumVoltage(), 3.4f);
    EXPECT_FLOAT_EQ(loaded.maximumTemperatureCelsiusDegrees(), log.maximumTemperatureCelsiusDegrees());

    // The file is the raw bytes followed by one metadata item.
    const QByteArray bytes = readFile(file);
    EXPECT_EQ(bytes.left(4 * 520), log.rawData());
    EXPECT_EQ(qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(bytes.constData() + 4 * 520)), 0x1129B4BDu);
    EXPECT_EQ(qFromLittleEndian<quint32>(reinterpret_cast<const uchar *>(bytes.constData() + 4 * 520 + 4)),
              quint32(bytes.size() - 4 * 520 - 8));
}

TEST_F(RawLogFileTest, MetadataItemsAnywhereAndTheLastOneWins)
{
    const QString file = path("m.rlog");
    writeFile(file, block(kBase, {0}) + metaItem(R"({"Notes":"first"})") + block(kBase + 10, {0}) +
                        metaItem(R"({"Notes":"second"})") + block(kBase + 20, {0}));
    PulseLog log;
    log.setMetaData({{"Stale", "1"}});
    ASSERT_TRUE(log.load(file));
    EXPECT_EQ(log.metaData(), (QVariantMap{{"Notes", "second"}}));
    EXPECT_EQ(log.entries().size(), 3u);
    EXPECT_EQ(log.rawData().size(), 3 * 520);

    // No metadata item at all empties the metadata.
    writeFile(file, block(kBase, {0}));
    ASSERT_TRUE(log.load(file));
    EXPECT_TRUE(log.metaData().isEmpty());
}

TEST_F(RawLogFileTest, DamagedItemsAreLoggedAndSkipped)
{
    const QString file = path("d.rlog");
    MessageCapture messages;
    // Not an object, then an abnormally large claim (its header skipped, its body read as
    // chunks), then a good item, then a chunk and a partial tail.
    QByteArray tooLarge = metaItem(QByteArray(), 2000000);
    writeFile(file, metaItem(R"({"Notes":"good"})") + block(kBase, {0}) + metaItem("[1,2]") + tooLarge +
                        block(kBase + 10, {0, 0}) + QByteArray(100, 'x'));
    PulseLog log;
    ASSERT_TRUE(log.load(file));
    EXPECT_TRUE(messages.containsText("Metadata parse failed to return an object"));
    EXPECT_TRUE(messages.containsText("Metadata is abnormally large"));
    EXPECT_EQ(log.metaData(), (QVariantMap{{"Notes", "good"}}));
    EXPECT_EQ(log.totalPulseCount(), 3);
    EXPECT_EQ(log.rawData().size(), 2 * 520);

    // A length running past the end of the file
    writeFile(file, block(kBase, {0}) + metaItem(R"({"Notes":"cut"})", 500));
    ASSERT_TRUE(log.load(file));
    EXPECT_TRUE(messages.containsText("Metadata missing or damaged"));
    EXPECT_TRUE(log.metaData().isEmpty());
    EXPECT_EQ(log.totalPulseCount(), 1);
}

TEST_F(RawLogFileTest, LoadFailureEmptiesTheModelAndIsLogged)
{
    PulseLog log;
    log.appendRawDataNoSignal(block(kBase, {0}));
    MessageCapture messages;
    EXPECT_FALSE(log.load(path("missing.rlog")));
    EXPECT_TRUE(messages.containsInOrder({"Failed to open", "missing.rlog", "for raw input"}));
    EXPECT_TRUE(log.entries().empty());
    EXPECT_TRUE(log.rawData().isEmpty());
}

TEST_F(RawLogFileTest, FailedSaveLeavesThePreviousFileIntact)
{
    const QString file = path("keep.rlog");
    PulseLog small;
    small.appendRawDataNoSignal(block(kBase, {0}));
    small.setMetaData({{"Notes", "old"}});
    ASSERT_TRUE(small.saveRaw(file));
    const QByteArray before = readFile(file);

    PulseLog big;
    for (int i = 0; i < 40; ++i)
        big.appendRawDataNoSignal(block(kBase + uint64_t(i) * 10, {0, 1}));
    MessageCapture messages;
    TestSupport::limitFileSize(8192);  // like a disk that fills up half way
    const bool saved = big.saveRaw(file);
    TestSupport::limitFileSize(0);
    EXPECT_FALSE(saved);
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(TestSupport::strayFiles(dir.path(), {"keep.rlog"}), QStringList());

    // A target that cannot be created at all
    writeFile(path("plain"), "x");
    EXPECT_FALSE(big.saveRaw(path("plain/inside.rlog")));
    EXPECT_TRUE(messages.containsInOrder({"Failed to open", "inside.rlog", "for output"}));

    // And a good save still replaces the file
    ASSERT_TRUE(big.saveRaw(file));
    PulseLog reloaded;
    ASSERT_TRUE(reloaded.load(file));
    EXPECT_EQ(reloaded.totalPulseCount(), 80);
}
