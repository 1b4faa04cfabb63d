// Win32 threads for platformRunInParallel.
#include <windows.h>

#include <vector>

#include "platform/parallel.h"
#include "platform/parallel_common.h"

namespace trakmap {

namespace {

DWORD WINAPI worker(LPVOID queue) {
    runQueuedTasks(*static_cast<TaskQueue*>(queue));
    return 0;
}

}  // namespace

unsigned platformProcessorCount() {
    // A process started with an affinity mask may use only those processors.
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        unsigned count = 0;
        for (; process != 0; process &= process - 1) ++count;
        return count;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 1 ? static_cast<unsigned>(info.dwNumberOfProcessors) : 1u;
}

void platformYieldThread() { SwitchToThread(); }

void platformRunInParallel(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& task) {
    TaskQueue queue{&task, count};
    std::vector<HANDLE> started;
    for (unsigned i = 1; i < threads && i < count; ++i) {
        // A thread that cannot be started leaves its share to the others.
        HANDLE thread = CreateThread(nullptr, 0, worker, &queue, 0, nullptr);
        if (thread == nullptr) break;
        started.push_back(thread);
    }
    runQueuedTasks(queue);
    for (HANDLE thread : started) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

}  // namespace trakmap
