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

// A loop nested in one of two tasks gets the thread that finished the other, whether
// that thread is one of the pool's or the outer caller waiting for its call to end: the
// nested loop's first index goes on only once another thread has run its second (with
// no such help it would never return).
TEST(ParallelFor, NestedLoopGetsTheThreadThatFinishedItsTask) {
    if (vyxParallelHelpers() == 0)
        GTEST_SKIP() << "the pool has no thread besides the caller";
    for (int round = 0; round < 50; ++round) {
        std::atomic<bool> secondRan{false};
        std::atomic<int> nestedCalls{0};
        vyxParallelFor(2, 0, [&](int task) {
            if (task == 0)
                return;
            vyxParallelFor(2, 0, [&](int j) {
                ++nestedCalls;
                if (j == 1) {
                    secondRan = true;
                    return;
                }
                while (!secondRan)
                    std::this_thread::yield();
            });
        });
        ASSERT_EQ(nestedCalls.load(), 2) << "round " << round;
    }
}

// Loops three deep, from two outside callers at once: every index of every level once.
TEST(ParallelFor, ThreeLevelsDeepFromTwoCallers) {
    const int outer = 6, middle = 5, inner = 40;
    std::vector<std::atomic<int>> calls(2 * outer * middle * inner);
    auto caller = [&](int half) {
        vyxParallelFor(outer, 0, [&](int i) {
            vyxParallelFor(middle, 0, [&](int j) {
                vyxParallelFor(inner, 0, [&](int k) {
                    ++calls[static_cast<size_t>(((half * outer + i) * middle + j) * inner + k)];
                });
            });
        });
    };
    std::thread other(caller, 1);
    caller(0);
    other.join();
    for (size_t k = 0; k < calls.size(); ++k)
        ASSERT_EQ(calls[k].load(), 1) << "call " << k;
}
