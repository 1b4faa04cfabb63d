// The part of running tasks in parallel that does not depend on the system:
// every thread, the caller's included, takes the next task not yet taken.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace trakmap {

struct TaskQueue {
    const std::function<void(std::size_t)>* task;
    std::size_t count;
    std::atomic<std::size_t> next{0};
};

inline void runQueuedTasks(TaskQueue& queue) {
    for (std::size_t i = queue.next.fetch_add(1); i < queue.count; i = queue.next.fetch_add(1)) (*queue.task)(i);
}

}  // namespace trakmap
