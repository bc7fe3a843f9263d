#include "VirtualBootloader.h"

#include <cstring>

namespace {
// Command codes answered by this part, in the order Get reports them.
constexpr quint8 kGet = 0x00;
constexpr quint8 kGetVersion = 0x01;
constexpr quint8 kGetId = 0x02;
constexpr quint8 kReadMemory = 0x11;
constexpr quint8 kGo = 0x21;
constexpr quint8 kWriteMemory = 0x31;
constexpr quint8 kExtendedErase = 0x44;
constexpr quint8 kSupported[] = {kGet, kGetVersion, kGetId, kReadMemory, kGo, kWriteMemory, kExtendedErase};
}  // namespace

VirtualBootloader::VirtualBootloader() : m_flash(kFlashSize, char(0xFF)) {}

void VirtualBootloader::setFlash(const QByteArray &image)
{
    m_flash.fill(char(0xFF));
    std::memcpy(m_flash.data(), image.constData(), size_t(qMin(image.size(), kFlashSize)));
}

void VirtualBootloader::reset()
{
    m_state = St::Unsynced;
    m_collect.clear();
    m_expected = 0;
}

bool VirtualBootloader::takeGoRequest()
{
    const bool requested = m_goRequested;
    m_goRequested = false;
    return requested;
}

bool VirtualBootloader::inFlash(quint32 address, quint32 length) const
{
    return address >= kFlashBase && length <= quint32(kFlashSize) &&
           address - kFlashBase <= quint32(kFlashSize) - length;
}

QByteArray VirtualBootloader::receive(const QByteArray &bytesFromLine)
{
    QByteArray out;
    m_bytesIn += bytesFromLine.size();
    for (char c : bytesFromLine)
        handle(quint8(c), out);
    m_bytesOut += out.size();
    return out;
}

void VirtualBootloader::handle(quint8 byte, QByteArray &out)
{
    switch (m_state) {
    case St::Unsynced:
        // Until the host's 0x7F has been seen the USART is not even at the right baud rate.
        if (byte == 0x7F) {
            out.append(char(kAck));
            m_state = St::Command;
        }
        return;
    case St::Command:
        m_command = byte;
        m_state = St::Complement;
        return;
    case St::Complement:
        m_state = St::Command;
        if (quint8(m_command ^ byte) != 0xFF) {
            out.append(char(kNack));
            return;
        }
        dispatch(m_command, out);
        return;
    case St::Address:
        m_collect.append(char(byte));
        if (m_collect.size() == 5)
            onAddress(out);
        return;
    case St::ReadCount:
        m_collect.append(char(byte));
        if (m_collect.size() == 2)
            onReadCount(out);
        return;
    case St::WriteData:
        m_collect.append(char(byte));
        if (m_collect.size() == 1)
            m_expected = quint8(byte) + 1 + 2;  // N, N + 1 data bytes, checksum
        else if (m_collect.size() == m_expected)
            onWriteData(out);
        return;
    case St::EraseCount:
        m_collect.append(char(byte));
        if (m_collect.size() == 2)
            onEraseCount();
        return;
    case St::EraseSpecialChecksum:
        onEraseSpecialChecksum(byte, out);
        return;
    case St::ErasePages:
        m_collect.append(char(byte));
        if (m_collect.size() == m_expected)
            onErasePages(out);
        return;
    }
}

void VirtualBootloader::onReadCount(QByteArray &out)
{
    m_state = St::Command;
    const quint8 n = quint8(m_collect[0]);
    if (quint8(m_collect[1]) != quint8(n ^ 0xFF) || !inFlash(m_address, n + 1u)) {
        out.append(char(kNack));
        return;
    }
    out.append(char(kAck));
    out.append(m_flash.constData() + (m_address - kFlashBase), n + 1);
}

void VirtualBootloader::onWriteData(QByteArray &out)
{
    m_state = St::Command;
    const int length = m_expected - 2;
    quint8 x = 0;
    for (char d : m_collect)
        x ^= quint8(d);
    // x now covers N, the data and the checksum: zero when the checksum matched.
    if (x != 0 || !inFlash(m_address, quint32(length))) {
        out.append(char(kNack));
        return;
    }
    char *target = m_flash.data() + (m_address - kFlashBase);
    for (int i = 0; i < length; ++i)
        target[i] = char(quint8(target[i]) & quint8(m_collect[1 + i]));
    if (m_corruptWrites)
        target[0] = char(quint8(target[0]) ^ 0x01);
    out.append(char(kAck));
}

void VirtualBootloader::onEraseCount()
{
    m_eraseCount = quint16((quint8(m_collect[0]) << 8) | quint8(m_collect[1]));
    if (m_eraseCount >= 0xFFF0) {
        m_state = St::EraseSpecialChecksum;
    } else {
        m_state = St::ErasePages;
        m_expected = 2 + (m_eraseCount + 1) * 2 + 1;
    }
}

void VirtualBootloader::onEraseSpecialChecksum(quint8 byte, QByteArray &out)
{
    m_state = St::Command;
    const quint8 x = quint8(m_collect[0]) ^ quint8(m_collect[1]);
    // Only the global mass erase exists on this single-bank part.
    if (byte != x || m_eraseCount != 0xFFFF) {
        out.append(char(kNack));
        return;
    }
    m_flash.fill(char(0xFF));
    out.append(char(kAck));
}

void VirtualBootloader::onErasePages(QByteArray &out)
{
    m_state = St::Command;
    quint8 x = 0;
    for (char d : m_collect)
        x ^= quint8(d);
    bool valid = x == 0;
    const int pagesEnd = m_collect.size() - 1;  // the checksum follows the pages
    for (int i = 2; valid && i < pagesEnd; i += 2) {
        const int page = (quint8(m_collect[i]) << 8) | quint8(m_collect[i + 1]);
        valid = page < kPageCount;
    }
    if (!valid) {
        out.append(char(kNack));
        return;
    }
    for (int i = 2; i < pagesEnd; i += 2) {
        const int page = (quint8(m_collect[i]) << 8) | quint8(m_collect[i + 1]);
        std::memset(m_flash.data() + page * kPageSize, 0xFF, kPageSize);
    }
    out.append(char(kAck));
}

void VirtualBootloader::dispatch(quint8 code, QByteArray &out)
{
    bool supported = false;
    for (quint8 c : kSupported)
        supported = supported || c == code;
    if (!supported) {
        out.append(char(kNack));
        return;
    }
    if (m_injectedNacks > 0) {
        --m_injectedNacks;
        out.append(char(kNack));
        return;
    }
    ++m_commandCounts[code];
    out.append(char(kAck));
    m_collect.clear();
    switch (code) {
    case kGet:
        out.append(char(sizeof(kSupported)));  // number of bytes that follow, minus one
        out.append(char(kVersion));
        out.append(reinterpret_cast<const char *>(kSupported), int(sizeof(kSupported)));
        out.append(char(kAck));
        break;
    case kGetVersion:
        out.append(char(kVersion));
        out.append(char(0x00));  // option bytes as the part reports them with no protection
        out.append(char(0x00));
        out.append(char(kAck));
        break;
    case kGetId:
        out.append(char(0x01));
        out.append(char(kProductId >> 8));
        out.append(char(kProductId & 0xFF));
        out.append(char(kAck));
        break;
    case kReadMemory:
    case kWriteMemory:
    case kGo:
        m_state = St::Address;
        break;
    case kExtendedErase:
        m_state = St::EraseCount;
        break;
    default:
        break;
    }
}

void VirtualBootloader::onAddress(QByteArray &out)
{
    const quint8 *a = reinterpret_cast<const quint8 *>(m_collect.constData());
    const quint32 address = (quint32(a[0]) << 24) | (quint32(a[1]) << 16) | (quint32(a[2]) << 8) | a[3];
    const bool checksumOk = quint8(a[0] ^ a[1] ^ a[2] ^ a[3]) == a[4];
    m_collect.clear();
    if (!checksumOk || !inFlash(address, 1)) {
        m_state = St::Command;
        out.append(char(kNack));
        return;
    }
    m_address = address;
    out.append(char(kAck));
    switch (m_command) {
    case kReadMemory:
        m_state = St::ReadCount;
        break;
    case kWriteMemory:
        m_state = St::WriteData;
        m_expected = 0;
        break;
    case kGo:
        // The bootloader hands the core to the application: nothing more is heard from it.
        m_goAddress = address;
        m_goRequested = true;
        m_state = St::Unsynced;
        break;
    default:
        m_state = St::Command;
        break;
    }
}
