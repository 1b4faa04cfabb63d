// Runs one command with its output discarded and prints, on one line, its wall
// time and CPU time (user + system) in seconds and its peak resident memory in
// KiB, then exits with the command's status:
//
//   spawn_timed <command> [arguments...]
//
// A small launcher keeps the measurement honest: the wall clock brackets only
// the fork, exec and wait, and the peak memory the kernel reports for the child
// starts from this program's few hundred KiB rather than a script
// interpreter's footprint, which an exec would otherwise carry over.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

double seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9; }

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: spawn_timed <command> [arguments...]\n");
        return 2;
    }
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = fork();
    if (child < 0) {
        std::perror("spawn_timed: fork");
        return 2;
    }
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("spawn_timed: wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    std::printf("%.6f %.6f %ld\n", seconds(end) - seconds(start), seconds(usage.ru_utime) + seconds(usage.ru_stime),
                usage.ru_maxrss);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
