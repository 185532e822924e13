// The shared pool: every index exactly once, whatever the thread limit, from nested
// calls and from two callers at once.

#include "util/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(ParallelFor, EveryIndexExactlyOnceNestedAndFromTwoCallers) {
    for (int threads : {0, 1, 2, 64}) {
        for (int count : {0, 1, 3, 1000}) {
            std::vector<std::atomic<int>> calls(static_cast<size_t>(count) * 8);
            // Each index also runs an inner loop of 8 from inside the pool's work.
            vyxParallelFor(count, threads, [&](int i) {
                vyxParallelFor(8, threads, [&](int j) { ++calls[static_cast<size_t>(i) * 8 + j]; });
            });
            for (size_t k = 0; k < calls.size(); ++k)
                ASSERT_EQ(calls[k].load(), 1) << "threads " << threads << ", count " << count << ", call " << k;
        }
    }
    // Two threads calling at once take turns; neither loses an index.
    std::vector<std::atomic<int>> calls(2 * 5000);
    auto caller = [&](int half) {
        vyxParallelFor(5000, 0, [&](int i) { ++calls[static_cast<size_t>(half * 5000 + i)]; });
    };
    std::thread other(caller, 1);
    caller(0);
    other.join();
    for (size_t k = 0; k < calls.size(); ++k)
        ASSERT_EQ(calls[k].load(), 1) << "call " << k;
    EXPECT_GE(vyxParallelHelpers(), 0);
}
