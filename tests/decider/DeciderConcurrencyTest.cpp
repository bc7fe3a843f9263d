#include "decider/WrappedEllipticalDecider.h"
#include "SyntheticMagnet.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

// The 3-D view copies the histories under the wrapper's mutex while samples keep arriving.
// Here the reader runs in a thread of its own so that ThreadSanitizer sees every access.
TEST(WrappedEllipticalDeciderConcurrency, ReaderCopiesUnderTheMutexWhileSamplesArrive)
{
    WrappedEllipticalDecider w;
    w.setAutoCalibrate(true);
    std::atomic<bool> done{false};
    std::atomic<int> copies{0};
    std::atomic<bool> inconsistent{false};

    std::thread reader([&] {
        std::vector<float3> points;
        std::vector<float> quality;
        std::vector<float2> hull;
        while (!done.load()) {
            {
                std::lock_guard<std::mutex> lock(w.mutex());
                const auto &dp = w.displayPoints();
                const auto &pq = w.pointQuality();
                points.clear();
                quality.clear();
                for (int i = 0; i < dp.size(); ++i)
                    points.push_back(dp.at(i));
                for (int i = 0; i < pq.size(); ++i)
                    quality.push_back(pq.at(i));
                hull = w.hullPoints();
                if (dp.size() != pq.size())
                    inconsistent = true;
                (void)w.liveDecider().parameters().outerRadius;
            }
            copies.fetch_add(1);
            std::this_thread::yield();
        }
    });

    SyntheticMagnet m;
    for (int i = 0; i < 12000; ++i) {
        w.addSample(m.next());
        if (i % 3000 == 0)
            w.shiftCenter(0.f, 0.f, 0.f);
        // On a busy machine the reader may not have run at all yet: let the second half of
        // the samples arrive while it is surely copying (the check below reports a reader
        // that never ran).
        if (i == 6000 && !waitUntilWithoutEvents([&] { return copies.load() > 0; }, 30000))
            break;
    }
    done = true;
    reader.join();
    EXPECT_GT(copies.load(), 0);
    EXPECT_FALSE(inconsistent.load());
    std::lock_guard<std::mutex> lock(w.mutex());
    EXPECT_EQ(w.liveDecider().status(), 1);
    EXPECT_FALSE(w.hullPoints().empty());
}
