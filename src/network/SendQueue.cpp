#include "SendQueue.h"

#include "Network.h"

#include <algorithm>
#include <cstring>

using namespace Network;

bool SendQueue::isPollingType(uint16_t type)
{
    return type == C2S_GetStats || type == C2S_GetDateTime || type == C2S_GetDeviceId;
}

void SendQueue::retrySchedule(uint16_t type, int *firstWaitTicks, int *resends)
{
    int wait = 3, count = 6;
    switch (type) {
    case C2S_FlashRead528:
    case C2S_FlashReadLz528:
    case C2S_FlashReadPage:
        wait = 50;
        count = 6;
        break;
    case C2S_PushAlgorithmParameters:
    case C2S_PullAlgorithmParameters:
        wait = 60;
        count = 3;
        break;
    case C2S_SetDateTime:
    case C2S_RtcCalibrate:
        wait = 50;
        count = 0;
        break;
    case C2S_SavePersistents:
        wait = 20;
        count = 0;
        break;
    case C2S_KeepAlive:
        wait = 7;
        count = 0;
        break;
    case C2S_EnterBootloader:
        wait = 3;
        count = 0;
        break;
    default:
        break;
    }
    if (firstWaitTicks)
        *firstWaitTicks = wait;
    if (resends)
        *resends = count;
}

bool SendQueue::makeEntry(const void *packet, int length, Entry *entry)
{
    if (length < int(sizeof(PacketBase)) || length > kMaxPacket)
        return false;
    *entry = Entry();
    std::memcpy(entry->packet, packet, size_t(length));
    entry->length = length;
    sealPacket(entry->packet, length);
    retrySchedule(entry->type(), &entry->ticksUntilResend, &entry->resendsLeft);
    return true;
}

void SendQueue::remove(uint16_t requestId)
{
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [requestId](const Entry &e) { return e.requestId() == requestId; }),
                    m_entries.end());
}

std::vector<SendQueue::Entry> SendQueue::takeAll()
{
    std::vector<Entry> taken;
    taken.swap(m_entries);
    return taken;
}

SendQueue::Tick SendQueue::tick(bool writable)
{
    Tick tick;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Entry &e = *it;
        if (e.ticksUntilResend != 0) {
            --e.ticksUntilResend;
            ++it;
            continue;
        }
        if (e.resendsLeft == 0) {
            tick.expired.push_back(e);
            it = m_entries.erase(it);
            continue;
        }
        if (writable)
            tick.resends.push_back(e);
        --e.resendsLeft;
        e.ticksUntilResend = kResendWaitTicks;
        ++it;
    }
    return tick;
}

bool SendQueue::onlyPolling() const
{
    return std::all_of(m_entries.begin(), m_entries.end(), [](const Entry &e) { return isPollingType(e.type()); });
}
