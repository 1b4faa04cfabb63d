// POSIX threads for platformRunInParallel.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <vector>

#include "platform/parallel.h"
#include "platform/parallel_common.h"

namespace trakmap {

namespace {

void* worker(void* queue) {
    runQueuedTasks(*static_cast<TaskQueue*>(queue));
    return nullptr;
}

}  // namespace

unsigned platformProcessorCount() {
#ifdef __linux__
    // taskset and container limits narrow the processors a process may use.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        int count = CPU_COUNT(&allowed);
        return count > 1 ? static_cast<unsigned>(count) : 1u;
    }
#endif
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 1 ? static_cast<unsigned>(online) : 1u;
}

void platformYieldThread() { sched_yield(); }

void platformRunInParallel(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task) {
    TaskQueue queue{&task, count};
    std::vector<pthread_t> started;
    for (unsigned i = 1; i < threads && i < count; ++i) {
        pthread_t thread;
        // A thread that cannot be started leaves its share to the others.
        if (pthread_create(&thread, nullptr, worker, &queue) != 0) break;
        started.push_back(thread);
    }
    runQueuedTasks(queue);
    for (pthread_t thread : started) pthread_join(thread, nullptr);
}

}  // namespace trakmap
