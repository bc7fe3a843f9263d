// The firmware image file: trailer layout, digest, load outcomes and saving.
#include "bootloader/FirmwareMeta.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

// A file written byte by byte from the documented layout, independent of FirmwareMeta.
QByteArray handMadeFile(const QByteArray &payload, quint16 major, quint16 minor, quint32 patch, quint32 flags,
                        const QByteArray &text, quint16 format = 1)
{
    QByteArray trailer(210, 0);
    qToLittleEndian<quint32>(0xDCC811C2u, trailer.data());
    qToLittleEndian<quint16>(format, trailer.data() + 4);
    qToLittleEndian<quint16>(major, trailer.data() + 6);
    qToLittleEndian<quint16>(minor, trailer.data() + 8);
    qToLittleEndian<quint32>(patch, trailer.data() + 10);
    qToLittleEndian<quint32>(flags, trailer.data() + 14);
    trailer.replace(18, text.size(), text);
    trailer[150] = char(0xAB);  // reserved bytes are carried, not interpreted
    QByteArray file = payload + trailer;
    const QByteArray digest = QCryptographicHash::hash(file.left(file.size() - 32), QCryptographicHash::Sha256);
    file.replace(file.size() - 32, 32, digest);
    return file;
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(data);
    return path;
}

TEST(FirmwareMeta, LoadsAHandMadeFile)
{
    QTemporaryDir dir;
    const QByteArray payload("\x01\x02\x03 firmware image");
    const QString path = writeFile(dir, "a.fw", handMadeFile(payload, 3, 14, 70000, 1, "release notes"));
    FirmwareMeta meta;
    QSignalSpy status(&meta, &FirmwareMeta::loadStatusChanged);
    QSignalSpy payloadSpy(&meta, &FirmwareMeta::payloadChanged);
    meta.load(QUrl::fromLocalFile(path).toString());
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_Success);
    EXPECT_EQ(meta.major(), 3);
    EXPECT_EQ(meta.minor(), 14);
    EXPECT_EQ(meta.patchlevel(), 70000 & 0xFFFF);
    EXPECT_EQ(meta.patchLevel32(), 70000u);
    EXPECT_EQ(meta.flags(), quint32(FirmwareMeta::MetaFlag_Debug));
    EXPECT_EQ(meta.strings(), QStringLiteral("release notes"));
    EXPECT_EQ(meta.payload(), payload);
    EXPECT_EQ(quint8(meta.trailer()[150]), 0xAB);
    EXPECT_EQ(status.count(), 1);
    EXPECT_EQ(payloadSpy.count(), 1);

    // A plain path works as well as a file URL.
    FirmwareMeta byPath;
    byPath.load(path);
    EXPECT_EQ(byPath.loadStatus(), FirmwareMeta::LoadStatus_Success);
}

TEST(FirmwareMeta, TrailerOnlyFileHasEmptyPayload)
{
    FirmwareMeta meta;
    meta.loadData(handMadeFile(QByteArray(), 1, 2, 3, 0, ""));
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_Success);
    EXPECT_TRUE(meta.payload().isEmpty());
    EXPECT_EQ(meta.minor(), 2);
}

TEST(FirmwareMeta, AnyChangedByteFailsTheDigest)
{
    const QByteArray good = handMadeFile(QByteArray(300, char(0x33)), 1, 2, 4468, 0, "x");
    // Payload bytes, every trailer field, and the digest itself.
    for (int index : {0, 150, 299, 300, 304, 306, 310, 314, 318, 445, 446, 477, 478, 500, 509}) {
        QByteArray bad = good;
        bad[index] = char(bad[index] ^ 0x01);
        FirmwareMeta meta;
        meta.loadData(bad);
        const auto expected = (index == 300 || index == 304) ? FirmwareMeta::LoadStatus_BadMetaHeader
                                                             : FirmwareMeta::LoadStatus_ChecksumFailure;
        EXPECT_EQ(meta.loadStatus(), expected) << "byte " << index;
        EXPECT_EQ(meta.payload(), bad) << "byte " << index;
        EXPECT_EQ(meta.major(), 0);
        EXPECT_EQ(meta.patchLevel32(), 0u);
        EXPECT_TRUE(meta.strings().isEmpty());
    }
}

// Only an intact file offers its image for flashing: a damaged or trailer-less file keeps its
// bytes in the payload, but none of them may reach the bootloader.
TEST(FirmwareMeta, OnlyAnIntactFileOffersItsImage)
{
    QTemporaryDir dir;
    const QByteArray image(1000, char(0x5A));
    const QByteArray good = handMadeFile(image, 1, 2, 4468, 0, "x");
    QByteArray badDigest = good;
    badDigest[10] = char(badDigest[10] ^ 0x01);
    FirmwareMeta meta;
    QSignalSpy offered(&meta, &FirmwareMeta::flashImageChanged);
    EXPECT_TRUE(meta.flashImage().isEmpty());

    meta.loadData(good);
    EXPECT_EQ(meta.flashImage(), image);
    EXPECT_GE(offered.count(), 1);
    const auto refusedAfter = [&](const char *what) {
        EXPECT_NE(meta.loadStatus(), FirmwareMeta::LoadStatus_Success) << what;
        EXPECT_TRUE(meta.flashImage().isEmpty()) << what;
    };
    meta.loadData(badDigest);
    EXPECT_EQ(meta.payload(), badDigest);
    refusedAfter("bad digest");
    meta.loadData(image);
    EXPECT_EQ(meta.payload(), image);
    refusedAfter("no trailer");
    meta.loadData(good);
    offered.clear();
    meta.load(dir.filePath("missing.fw"));
    refusedAfter("missing file");
    EXPECT_GE(offered.count(), 1);

    // An image changed after a good load is no longer the one its digest covers.
    meta.loadData(good);
    offered.clear();
    meta.setPayload(image + "x");
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_Success);
    EXPECT_TRUE(meta.flashImage().isEmpty());
    EXPECT_EQ(offered.count(), 1);
    meta.loadData(good);
    meta.clear(false);
    EXPECT_TRUE(meta.flashImage().isEmpty());

    // A file being built in memory is offered once it was saved and loaded back.
    FirmwareMeta built;
    built.setPayload(image);
    built.generateChecksum();
    EXPECT_TRUE(built.flashImage().isEmpty());
    const QString path = dir.filePath("built.fw");
    ASSERT_TRUE(built.save(QUrl::fromLocalFile(path).toString()));
    built.load(path);
    EXPECT_EQ(built.flashImage(), image);
}

TEST(FirmwareMeta, FilesWithoutTrailer)
{
    FirmwareMeta meta;
    const QByteArray raw(5000, char(0x42));
    meta.loadData(raw);
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_BadMetaHeader);
    EXPECT_EQ(meta.payload(), raw);

    // Shorter than a trailer, even if it starts like one.
    const QByteArray shortFile = handMadeFile(QByteArray(), 1, 1, 1, 0, "").left(209);
    meta.loadData(shortFile);
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_BadMetaHeader);
    EXPECT_EQ(meta.payload(), shortFile);

    meta.loadData(handMadeFile(QByteArray(10, 'a'), 1, 1, 1, 0, "", 2));
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_BadMetaHeader);

    meta.loadData(QByteArray());
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_BadMetaHeader);
}

TEST(FirmwareMeta, MissingFileIsAnIoError)
{
    QTemporaryDir dir;
    FirmwareMeta meta;
    meta.loadData(handMadeFile("abc", 1, 1, 1, 0, ""));
    ASSERT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_Success);
    QSignalSpy status(&meta, &FirmwareMeta::loadStatusChanged);
    meta.load(dir.filePath("missing.fw"));
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_IOError);
    EXPECT_TRUE(meta.payload().isEmpty());
    EXPECT_EQ(meta.major(), 0);
    ASSERT_EQ(status.count(), 2);  // NoLoadAttempted, then IOError
    EXPECT_EQ(status[1][0].value<FirmwareMeta::LoadStatus>(), FirmwareMeta::LoadStatus_IOError);
    meta.load(dir.path());  // a directory cannot be read as a file
    EXPECT_NE(meta.loadStatus(), FirmwareMeta::LoadStatus_Success);
}

TEST(FirmwareMeta, BuildSaveLoadRoundTrip)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("built.fw");
    FirmwareMeta built;
    built.setMajor(2);
    built.setMinor(7);
    built.setPatchLevel(70000);
    built.setFlags(FirmwareMeta::MetaFlag_Debug);
    built.setStrings(QStringLiteral("Grüße"));
    const QByteArray payload(1234, char(0x9C));
    built.setPayload(payload);
    EXPECT_EQ(built.patchlevel(), 4464);
    built.generateChecksum();
    ASSERT_TRUE(built.save(QUrl::fromLocalFile(path).toString()));

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray file = f.readAll();
    ASSERT_EQ(file.size(), 1234 + 210);
    EXPECT_EQ(file.mid(1234, 4), QByteArray("\xc2\x11\xc8\xdc", 4));
    EXPECT_EQ(qFromLittleEndian<quint32>(file.constData() + 1234 + 10), 70000u);
    EXPECT_EQ(file.right(32), QCryptographicHash::hash(file.left(file.size() - 32), QCryptographicHash::Sha256));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"built.fw"});

    FirmwareMeta loaded;
    loaded.load(QUrl::fromLocalFile(path).toString());
    EXPECT_EQ(loaded.loadStatus(), FirmwareMeta::LoadStatus_Success);
    EXPECT_EQ(loaded.major(), 2);
    EXPECT_EQ(loaded.minor(), 7);
    EXPECT_EQ(loaded.patchlevel(), 4464);
    EXPECT_EQ(loaded.patchLevel32(), 70000u);
    EXPECT_EQ(loaded.flags(), 1u);
    EXPECT_EQ(loaded.strings(), QStringLiteral("Grüße"));
    EXPECT_EQ(loaded.payload(), payload);

    // Saved again as loaded, the 32-bit patch level survives.
    const QString again = dir.filePath("again.fw");
    ASSERT_TRUE(loaded.save(QUrl::fromLocalFile(again).toString()));
    QFile g(again);
    ASSERT_TRUE(g.open(QIODevice::ReadOnly));
    EXPECT_EQ(g.readAll(), file);
}

TEST(FirmwareMeta, SaveRefusals)
{
    QTemporaryDir dir;
    FirmwareMeta meta;
    meta.setPayload("abc");
    EXPECT_FALSE(meta.save(dir.filePath("plain-path.fw")));  // not a URL
    EXPECT_FALSE(meta.save(QStringLiteral("https://example.invalid/x.fw")));
    EXPECT_FALSE(meta.save(QUrl::fromLocalFile(dir.filePath("no/such/dir/x.fw")).toString()));
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST(FirmwareMeta, SettersNotifyOnlyOnChange)
{
    FirmwareMeta meta;
    QSignalSpy major(&meta, &FirmwareMeta::majorChanged);
    QSignalSpy patch(&meta, &FirmwareMeta::patchLevelChanged);
    QSignalSpy payload(&meta, &FirmwareMeta::payloadChanged);
    meta.setMajor(5);
    meta.setMajor(5);
    meta.setPatchLevel(4468);
    meta.setPatchLevel(4468);
    meta.setPayload("x");
    meta.setPayload("x");
    EXPECT_EQ(major.count(), 1);
    EXPECT_EQ(patch.count(), 1);
    EXPECT_EQ(payload.count(), 2);  // always announced

    // The text field is cut at 128 bytes without splitting a character.
    meta.setStrings(QString(127, QLatin1Char('a')) + QStringLiteral("ü"));
    EXPECT_EQ(meta.strings(), QString(127, QLatin1Char('a')));
    meta.setStrings(QString(200, QLatin1Char('b')));
    EXPECT_EQ(meta.strings(), QString(128, QLatin1Char('b')));
    meta.setStrings(QStringLiteral("short"));
    EXPECT_EQ(meta.strings(), QStringLiteral("short"));
    EXPECT_EQ(meta.trailer().mid(18 + 5, 123), QByteArray(123, 0));

    meta.clear(false);
    EXPECT_EQ(meta.major(), 0);
    EXPECT_EQ(meta.payload(), QByteArray("x"));
    meta.clear(true);
    EXPECT_TRUE(meta.payload().isEmpty());
    EXPECT_EQ(meta.loadStatus(), FirmwareMeta::LoadStatus_NoLoadAttempted);
}

}  // namespace
