#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/parallel.h"

namespace trakmap {
namespace {

TEST(Parallel, RunsEveryTaskExactlyOnceWhateverTheThreadCount) {
    for (unsigned threads : {0u, 1u, 2u, 7u}) {
        for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{100}}) {
            std::vector<std::atomic<int>> runs(count);
            platformRunInParallel(count, threads, [&](std::size_t i) { runs[i].fetch_add(1); });
            for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i].load(), 1) << threads << " " << count << " " << i;
        }
    }
    EXPECT_GE(platformProcessorCount(), 1u);
}

// What the lock guards is changed by one thread at a time: no increment of
// a plain counter is lost (and ThreadSanitizer sees no race).
TEST(Parallel, ATaskLockLetsOneThreadAtATimeIn) {
    TaskLock lock;
    long counter = 0;
    platformRunInParallel(4, 4, [&](std::size_t) {
        for (int i = 0; i < 20000; ++i) {
            TaskLockGuard guard(lock);
            ++counter;
        }
    });
    EXPECT_EQ(counter, 4 * 20000);
}

TEST(Parallel, OneThreadRunsTheTasksInOrderOnTheCaller) {
    std::vector<std::size_t> order;
    platformRunInParallel(5, 1, [&](std::size_t i) { order.push_back(i); });
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace trakmap
