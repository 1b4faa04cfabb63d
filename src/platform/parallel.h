// Running independent pieces of work at the same time, for the few places
// that gain from the machine's other cores. Everything else in the tool runs
// on one thread.
#pragma once

#include <cstddef>
#include <functional>

namespace trakmap {

// How many threads the machine runs at once (at least 1).
unsigned platformProcessorCount();

// Runs task(0) to task(count - 1), each exactly once, on up to `threads`
// threads, the calling thread among them, and returns when every task is
// done. Which thread runs which task is not fixed; the tasks must not share
// anything they change. With `threads` of 1 or less, or when no further thread
// can be started, the calling thread runs them all, in order.
void platformRunInParallel(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task);

}  // namespace trakmap
