#include "network/FastLz.h"
#include "sim/FastLzEncoder.h"
#include "TestData.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <random>
#include <vector>

namespace {
struct ManifestEntry {
    QString name, kind, rawFile, compressedFile, outputSha;
    int level = 0, capacity = 0, expectedReturn = 0;
};

QList<ManifestEntry> manifest()
{
    QList<ManifestEntry> entries;
    const QByteArray text = readNetworkTestFile(QStringLiteral("fastlz/MANIFEST.jsonl"));
    for (const QByteArray &line : text.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        ManifestEntry e;
        e.name = o.value("name").toString();
        e.kind = o.value("kind").toString();
        e.rawFile = o.value("raw_file").toString();
        e.compressedFile = o.value("compressed_file").toString();
        e.outputSha = o.value("expected_output_sha256").toString();
        e.level = o.value("level").toInt();
        e.capacity = o.value("capacity").toInt();
        e.expectedReturn = o.value("expected_return").toInt();
        entries.append(e);
    }
    return entries;
}

QByteArray decode(const QByteArray &block, int capacity, int *result)
{
    // Exact-size heap buffer so AddressSanitizer sees any write past the capacity.
    std::vector<uint8_t> out(size_t(std::max(capacity, 1)));
    *result = FastLz::decompress(block.constData(), block.size(), out.data(), capacity);
    return QByteArray(reinterpret_cast<const char *>(out.data()), std::max(*result, 0));
}

QByteArray encode(int level, const QByteArray &raw)
{
    QByteArray out(FastLz::maxCompressedSize(raw.size()), '\0');
    const int n = FastLz::compress(level, raw.constData(), raw.size(), out.data());
    out.truncate(n);
    return out;
}

QByteArray fileData(const QString &name)
{
    return readNetworkTestFile(QStringLiteral("fastlz/") + name);
}
}  // namespace

TEST(FastLzVectors, ManifestIsComplete)
{
    const auto entries = manifest();
    ASSERT_EQ(entries.size(), 34);
    for (const auto &e : entries)
        ASSERT_FALSE(fileData(e.compressedFile).isEmpty()) << e.compressedFile.toStdString();
}

TEST(FastLzVectors, DecodeEveryVectorAndNotOneByteLess)
{
    int checked = 0;
    for (const auto &e : manifest()) {
        if (e.kind != QLatin1String("vector") && e.kind != QLatin1String("handcrafted"))
            continue;
        const QByteArray raw = fileData(e.rawFile);
        const QByteArray block = fileData(e.compressedFile);
        int n = 0;
        const QByteArray out = decode(block, raw.size(), &n);
        EXPECT_EQ(n, raw.size()) << e.name.toStdString();
        EXPECT_TRUE(out == raw) << e.name.toStdString();
        decode(block, raw.size() - 1, &n);
        EXPECT_EQ(n, 0) << e.name.toStdString() << " fits one byte short";
        ++checked;
    }
    EXPECT_EQ(checked, 25);
}

TEST(FastLzVectors, EncoderReproducesReferenceBytes)
{
    for (const auto &e : manifest()) {
        if (e.kind != QLatin1String("vector"))
            continue;
        const QByteArray raw = fileData(e.rawFile);
        const QByteArray expected = fileData(e.compressedFile);
        const QByteArray ours = encode(e.level, raw);
        EXPECT_EQ(ours.size(), expected.size()) << e.name.toStdString();
        EXPECT_TRUE(ours == expected) << e.name.toStdString();
    }
}

TEST(FastLzVectors, MalformedBlocksGiveReferenceOutcome)
{
    int checked = 0;
    for (const auto &e : manifest()) {
        if (e.kind != QLatin1String("malformed"))
            continue;
        const QByteArray block = fileData(e.compressedFile);
        int n = -1;
        const QByteArray out = decode(block, e.capacity, &n);
        EXPECT_EQ(n, e.expectedReturn) << e.name.toStdString();
        if (e.expectedReturn > 0 && !e.outputSha.isEmpty()) {
            EXPECT_EQ(QCryptographicHash::hash(out, QCryptographicHash::Sha256).toHex(), e.outputSha.toLatin1())
                << e.name.toStdString();
        }
        ++checked;
    }
    EXPECT_EQ(checked, 9);
}

TEST(FastLzDecoder, RejectsDegenerateInput)
{
    uint8_t out[64];
    EXPECT_EQ(FastLz::decompress(nullptr, 0, out, sizeof out), 0);
    const uint8_t empty[1] = {0};
    EXPECT_EQ(FastLz::decompress(empty, 0, out, sizeof out), 0);
    // One literal announced, none present.
    EXPECT_EQ(FastLz::decompress(empty, 1, out, sizeof out), 0);
    // Level 2 short match as the very last byte: its offset byte is missing.
    const uint8_t shortLast[] = {0x21, 'a', 'b', 0x20};
    EXPECT_EQ(FastLz::decompress(shortLast, sizeof shortLast, out, sizeof out), 0);
    // A valid literal into zero capacity.
    const uint8_t lit[] = {0x00, 'a'};
    EXPECT_EQ(FastLz::decompress(lit, sizeof lit, out, 0), 0);
    EXPECT_EQ(FastLz::decompress(lit, sizeof lit, out, 1), 1);
    // Level 1 ignores one trailing byte; level 2 reads it as an instruction and fails.
    const uint8_t trailing1[] = {0x01, 'a', 'b', 0x00};
    EXPECT_EQ(FastLz::decompress(trailing1, sizeof trailing1, out, sizeof out), 2);
    const uint8_t trailing2[] = {0x21, 'a', 'b', 0x00};
    EXPECT_EQ(FastLz::decompress(trailing2, sizeof trailing2, out, sizeof out), 0);
}

TEST(FastLzDecoder, MatchesOverlapAndRespectCapacity)
{
    // "ab" then a 6-byte match at distance 2: "abababab".
    const uint8_t block[] = {0x01, 'a', 'b', 0x80, 0x01};
    uint8_t out[8];
    ASSERT_EQ(FastLz::decompress(block, sizeof block, out, 8), 8);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(out), 8), QByteArray("abababab"));
    EXPECT_EQ(FastLz::decompress(block, sizeof block, out, 7), 0);
    // Distance 3 with only two bytes produced.
    const uint8_t before[] = {0x01, 'a', 'b', 0x20, 0x02};
    EXPECT_EQ(FastLz::decompress(before, sizeof before, out, 8), 0);
}

TEST(FastLzRoundTrip, RandomInputsBothLevels)
{
    std::mt19937 rng(1234);
    for (int iter = 0; iter < 300; ++iter) {
        const int n = int(rng() % 5000) + 1;
        const int alphabet = int(rng() % 4) == 0 ? 256 : int(rng() % 6) + 1;
        QByteArray raw(n, '\0');
        for (int i = 0; i < n; ++i) {
            // Mix runs, repeats of earlier text and noise.
            if (i > 40 && rng() % 7 == 0) {
                const int back = int(rng() % uint32_t(i)) + 1;
                raw[i] = raw[i - back];
            } else {
                raw[i] = char(rng() % uint32_t(alphabet));
            }
        }
        for (int level : {1, 2}) {
            const QByteArray block = encode(level, raw);
            ASSERT_LE(block.size(), FastLz::maxCompressedSize(n));
            int got = 0;
            const QByteArray back = decode(block, n, &got);
            ASSERT_EQ(got, n) << "level " << level << " size " << n;
            ASSERT_TRUE(back == raw) << "level " << level << " size " << n;
        }
    }
}

TEST(FastLzRoundTrip, FarMatchesAndLongRuns)
{
    std::mt19937 rng(99);
    QByteArray seg(20000, '\0');
    for (auto &c : seg)
        c = char(rng());
    // A block repeated 20000 and 60000 bytes later needs level-2 far matches; 9000 zero bytes
    // need long lengths.
    const QByteArray raw = seg + QByteArray(9000, '\0') + seg + QByteArray(20000, 'z') + seg;
    for (int level : {1, 2}) {
        const QByteArray block = encode(level, raw);
        int got = 0;
        const QByteArray back = decode(block, raw.size(), &got);
        ASSERT_EQ(got, raw.size()) << level;
        EXPECT_TRUE(back == raw) << level;
        if (level == 2) {
            EXPECT_LT(block.size(), raw.size() / 2);
        }
    }
}
