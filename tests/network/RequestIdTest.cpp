#include "network/TarrowindFirmware.h"

#include <gtest/gtest.h>

#include <atomic>
#include <QCoreApplication>
#include <thread>
#include <vector>

// The remote filesystem worker takes ids from its own thread while the client sends from the
// GUI thread: every id must be handed out once per wrap and 0 never.
TEST(RequestIds, UniqueAcrossThreadsAndNeverZero)
{
    TarrowindFirmware firmware;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 16000;  // 64000 ids: less than one wrap
    std::vector<std::vector<uint16_t>> taken(kThreads);
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            taken[t].reserve(kPerThread);
            for (int i = 0; i < kPerThread; ++i)
                taken[t].push_back(firmware.nextRequestId());
        });
    }
    go = true;
    for (auto &th : threads)
        th.join();
    std::vector<int> seen(65536, 0);
    for (const auto &ids : taken)
        for (uint16_t id : ids)
            ++seen[id];
    EXPECT_EQ(seen[0], 0);
    int duplicates = 0;
    for (int i = 1; i < 65536; ++i)
        duplicates += seen[i] > 1;
    EXPECT_EQ(duplicates, 0);

    // Across the wrap: the next ids continue from 64001 through 65535 and restart at 1.
    uint16_t last = 0;
    for (int i = 0; i < 65535 - kThreads * kPerThread; ++i)
        last = firmware.nextRequestId();
    EXPECT_EQ(last, 65535);
    EXPECT_EQ(firmware.nextRequestId(), 1);
}
