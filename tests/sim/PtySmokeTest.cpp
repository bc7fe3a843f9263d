// The virtual logger over a real pseudo-terminal, spoken to with raw bytes only: the
// checksum and packet layout here are written out by hand, independently of the codec.

#include "sim/VirtualLoggerRunner.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {
// CRC-32, polynomial 0x04C11DB7, MSB first, initial 0, no reflection, no final XOR.
uint32_t crc32Msb(const uint8_t *data, size_t n, uint32_t crc)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint32_t(data[i]) << 24;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

uint32_t packetChecksum(const QByteArray &p)
{
    const auto *d = reinterpret_cast<const uint8_t *>(p.constData());
    return crc32Msb(d + 6, size_t(p.size() - 6), crc32Msb(d, 2, 0));
}

uint32_t le32(const QByteArray &p, int at)
{
    const auto *d = reinterpret_cast<const uint8_t *>(p.constData()) + at;
    return uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
}
uint16_t le16(const QByteArray &p, int at)
{
    const auto *d = reinterpret_cast<const uint8_t *>(p.constData()) + at;
    return uint16_t(d[0] | d[1] << 8);
}

QByteArray getDeviceId(uint16_t requestId)
{
    QByteArray p(8, '\0');
    p[0] = 'X';
    p[1] = 'I';
    p[6] = char(requestId & 0xff);
    p[7] = char(requestId >> 8);
    const uint32_t crc = packetChecksum(p);
    for (int i = 0; i < 4; ++i)
        p[2 + i] = char(crc >> (8 * i));
    return p;
}

int openRaw(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Reads until `done` says so or the time is up; returns what came. *hungUp on a hang-up.
template <typename Done> QByteArray readUntil(int fd, int timeoutMs, Done done, bool *hungUp = nullptr)
{
    QByteArray got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(got) && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, int(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (hungUp)
                *hungUp = true;
            break;
        }
    }
    return got;
}

// Finds a checksum-valid identity packet (type bytes 'S' 'I', 72 bytes) with the given id.
int findIdentity(const QByteArray &bytes, int requestId)
{
    for (int i = 0; i + 72 <= bytes.size(); ++i) {
        if (bytes[i] != 'S' || bytes[i + 1] != 'I')
            continue;
        const QByteArray p = bytes.mid(i, 72);
        if (le32(p, 2) == packetChecksum(p) && (requestId < 0 || le16(p, 6) == requestId))
            return i;
    }
    return -1;
}
}  // namespace

TEST(PtySmoke, CrcOfTheReferenceRequest)
{
    // 58 49 5F 0D C2 74 01 00 is C2S_GetDeviceId with request id 1.
    EXPECT_EQ(getDeviceId(1), QByteArray("\x58\x49\x5F\x0D\xC2\x74\x01\x00", 8));
    EXPECT_EQ(crc32Msb(reinterpret_cast<const uint8_t *>("123456789"), 9, 0), 0x89A1897Fu);
}

TEST(PtySmoke, AnswersGetDeviceIdWithAValidIdentity)
{
    VirtualLoggerConfig config;
    config.patchLevel = 4251;
    config.debugMessageIntervalMs = 0;
    config.flash.closedSessions = 1;
    VirtualLoggerRunner sim(config);
    QString error;
    ASSERT_TRUE(sim.startPty(QString(), &error)) << error.toStdString();
    const int fd = openRaw(sim.portName());
    ASSERT_GE(fd, 0);

    // Unasked, it announces itself (request id 0).
    const QByteArray announced = readUntil(fd, 3000, [](const QByteArray &b) { return findIdentity(b, 0) >= 0; });
    const int at = findIdentity(announced, 0);
    ASSERT_GE(at, 0);
    const QByteArray id = announced.mid(at, 72);
    EXPECT_EQ(le32(id, 14), 4251u) << "patch level";
    EXPECT_EQ(le16(id, 50), 1) << "model Tarrowind 3X";

    // Asked, it answers with the asker's request id and the same identity.
    ASSERT_EQ(::write(fd, getDeviceId(0x1234).constData(), 8), 8);
    const QByteArray answer = readUntil(fd, 2000, [](const QByteArray &b) { return findIdentity(b, 0x1234) >= 0; });
    const int answerAt = findIdentity(answer, 0x1234);
    ASSERT_GE(answerAt, 0);
    EXPECT_EQ(answer.mid(answerAt + 8, 64), id.mid(8, 64));
    EXPECT_EQ(sim.requestCount(0x4958), 1u);
    ::close(fd);
}

TEST(PtySmoke, UnplugHangsUpAndReplugMovesTheLink)
{
    const QString link = QStringLiteral("%1/tw-sim-link-%2").arg(QDir::tempPath()).arg(::getpid());
    VirtualLoggerConfig config;
    config.debugMessageIntervalMs = 0;
    config.flash.closedSessions = 1;
    VirtualLoggerRunner sim(config);
    ASSERT_TRUE(sim.startPty(link));
    const QString firstPty = sim.ptyPath();
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), firstPty);
    int fd = openRaw(link);
    ASSERT_GE(fd, 0);
    EXPECT_GE(findIdentity(readUntil(fd, 3000, [](const QByteArray &b) { return findIdentity(b, 0) >= 0; }), 0), 0);

    sim.unplug();
    bool hungUp = false;
    readUntil(
        fd, 2000, [](const QByteArray &) { return false; }, &hungUp);
    EXPECT_TRUE(hungUp) << "the host's port must see the cable go";
    ::close(fd);
    EXPECT_FALSE(QFileInfo::exists(firstPty) && sim.ptyPath() == firstPty);

    ASSERT_TRUE(sim.replug());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), sim.ptyPath());
    fd = openRaw(link);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, getDeviceId(77).constData(), 8), 8);
    EXPECT_GE(findIdentity(readUntil(fd, 3000, [](const QByteArray &b) { return findIdentity(b, 77) >= 0; }), 77), 0)
        << "the device kept running and answers on the new port";
    ::close(fd);
    sim.stop();
    EXPECT_TRUE(QFileInfo(link).isSymLink() || !QFileInfo::exists(link));
}

TEST(PtySmoke, WhatNobodyHearsIsNotKeptForTheNextHost)
{
    VirtualLoggerConfig config;
    config.debugMessageIntervalMs = 0;
    config.flash.closedSessions = 1;
    VirtualLoggerRunner sim(config);
    ASSERT_TRUE(sim.startPty());
    // Three announcements go out while the port is closed...
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    const int fd = openRaw(sim.portName());
    ASSERT_GE(fd, 0);
    // ...and are not waiting in the port when a host opens it.
    const QByteArray first = readUntil(fd, 150, [](const QByteArray &) { return false; });
    EXPECT_LE(first.size(), 72);
    ::close(fd);
}
