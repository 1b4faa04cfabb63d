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

TEST(Parallel, OneThreadRunsTheTasksInOrderOnTheCaller) {
    std::vector<std::size_t> order;
    platformRunInParallel(5, 1, [&](std::size_t i) { order.push_back(i); });
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace trakmap
