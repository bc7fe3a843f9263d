#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>

// The STM32 system-memory bootloader of the virtual logger: the USART protocol of AN3155 over
// a 256 KiB flash of 2 KiB pages at 0x08000000 (product id 0x435, bootloader version 3.1).
// Byte-driven and transport-free: feed it what the line carried, send back what it returns.
//
// Supported: sync 0x7F, Get, Get Version and Read Protection, Get ID, Read Memory,
// Write Memory, Extended Erase (page lists and mass erase), Go. Everything else, bad
// complements, bad checksums and addresses outside the flash are answered with NACK.
// Programming behaves like NOR flash: it can only clear bits, so writing over data that
// was not erased leaves a mix that a verify notices.
class VirtualBootloader
{
public:
    static constexpr quint32 kFlashBase = 0x08000000u;
    static constexpr int kFlashSize = 256 * 1024;
    static constexpr int kPageSize = 2048;
    static constexpr int kPageCount = kFlashSize / kPageSize;
    static constexpr quint16 kProductId = 0x435;
    static constexpr quint8 kVersion = 0x31;
    static constexpr quint8 kAck = 0x79;
    static constexpr quint8 kNack = 0x1F;

    VirtualBootloader();

    // Consumes bytes from the line; returns the bytes the bootloader sends back.
    QByteArray receive(const QByteArray &bytesFromLine);
    // True once after a Go was executed (the device then leaves the bootloader).
    bool takeGoRequest();
    quint32 lastGoAddress() const { return m_goAddress; }
    // Entering the bootloader (a device reset into system memory): waits for the sync byte
    // again and forgets any half-received command. The flash is kept.
    void reset();
    bool synchronised() const { return m_state != St::Unsynced; }

    const QByteArray &flash() const { return m_flash; }
    void setFlash(const QByteArray &image);  // copied to the start of flash, rest erased

    // Faults. Corrupted writes store every programmed block with its first byte's lowest bit
    // flipped. Injected NACKs answer the next n otherwise valid commands with NACK.
    void setCorruptWrites(bool corrupt) { m_corruptWrites = corrupt; }
    void injectNacks(int count) { m_injectedNacks = count; }

    // How often each command code was accepted (ACKed) and how many bytes went each way.
    int commandCount(quint8 code) const { return m_commandCounts[code]; }
    qint64 bytesReceived() const { return m_bytesIn; }
    qint64 bytesSent() const { return m_bytesOut; }

private:
    enum class St {
        Unsynced,
        Command,
        Complement,
        Address,
        ReadCount,
        WriteData,
        EraseCount,
        EraseSpecialChecksum,
        ErasePages,
    };

    void handle(quint8 byte, QByteArray &out);
    void dispatch(quint8 code, QByteArray &out);
    void onAddress(QByteArray &out);
    // The commands' data phases, once their bytes have been collected.
    void onReadCount(QByteArray &out);
    void onWriteData(QByteArray &out);
    void onEraseCount();
    void onEraseSpecialChecksum(quint8 byte, QByteArray &out);
    void onErasePages(QByteArray &out);
    bool inFlash(quint32 address, quint32 length) const;

    QByteArray m_flash;
    St m_state = St::Unsynced;
    quint8 m_command = 0;
    QByteArray m_collect;
    quint32 m_address = 0;
    int m_expected = 0;
    quint16 m_eraseCount = 0;
    quint32 m_goAddress = 0;
    bool m_goRequested = false;
    bool m_corruptWrites = false;
    int m_injectedNacks = 0;
    std::array<int, 256> m_commandCounts{};
    qint64 m_bytesIn = 0;
    qint64 m_bytesOut = 0;
};
