// Running independent pieces of work at the same time, for the few places
// that gain from the machine's other cores. Everything else in the tool runs
// on one thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace trakmap {

// How many threads the machine runs at once for this process (at least 1):
// the processors it may run on, so a process held to one core counts one.
unsigned platformProcessorCount();

// A lock for the little state that parallel tasks share, held briefly and
// rarely: a thread that finds it held gives up its turn until it is free.
// Zero-initialized it is free, so it can be a static.
struct TaskLock {
    std::atomic_flag held = ATOMIC_FLAG_INIT;
};

void platformYieldThread();

// Holds `lock` for its lifetime.
class TaskLockGuard {
public:
    explicit TaskLockGuard(TaskLock& lock) : lock_(lock) {
        while (lock_.held.test_and_set(std::memory_order_acquire)) platformYieldThread();
    }
    ~TaskLockGuard() { lock_.held.clear(std::memory_order_release); }
    TaskLockGuard(const TaskLockGuard&) = delete;
    TaskLockGuard& operator=(const TaskLockGuard&) = delete;

private:
    TaskLock& lock_;
};

// Runs task(0) to task(count - 1), each exactly once, on up to `threads`
// threads, the calling thread among them, and returns when every task is
// done. Which thread runs which task is not fixed; the tasks must not share
// anything they change. With `threads` of 1 or less, or when no further thread
// can be started, the calling thread runs them all, in order.
void platformRunInParallel(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task);

}  // namespace trakmap
