#pragma once

#include <cstdint>
#include <vector>

// The requests sent to the logger and not yet answered, each with its retry schedule: a
// request waits some ticks of the retry timer for its answer, is resent a number of times
// (kResendWaitTicks apart) and then expires. Plain data on the owner's thread; the protocol
// client decides what a tick's resends and expiries mean (writes, logs, signals).
class SendQueue
{
public:
    static constexpr int kResendWaitTicks = 5;
    static constexpr int kMaxPacket = 140;

    struct Entry {
        int ticksUntilResend = 0;
        int resendsLeft = 0;
        int length = 0;
        uint8_t packet[kMaxPacket] = {};

        uint16_t type() const { return uint16_t(packet[0] | packet[1] << 8); }
        uint16_t requestId() const { return uint16_t(packet[6] | packet[7] << 8); }
    };

    // The resends of a tick (copies to write) and the requests that expired (already removed).
    struct Tick {
        std::vector<Entry> resends;
        std::vector<Entry> expired;
    };

    // True for the polling types (GetStats, GetDateTime, GetDeviceId).
    static bool isPollingType(uint16_t type);
    // The retry schedule of a request type: ticks before the first resend, and resends allowed.
    static void retrySchedule(uint16_t type, int *firstWaitTicks, int *resends);
    // A sealed entry with the schedule of its type; false when the length does not fit.
    static bool makeEntry(const void *packet, int length, Entry *entry);

    void push(const Entry &entry) { m_entries.push_back(entry); }
    // Removes every entry of the request (its answer arrived).
    void remove(uint16_t requestId);
    // Empties the queue and hands over what it held.
    std::vector<Entry> takeAll();
    // Advances every entry by one retry tick. Resends are only due while `writable`; a
    // request whose resend falls due while the device cannot take it still uses up a resend.
    Tick tick(bool writable);
    // True when nothing but polling requests waits (the user's requests have all ended).
    bool onlyPolling() const;
    int size() const { return int(m_entries.size()); }

private:
    std::vector<Entry> m_entries;
};
