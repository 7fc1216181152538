// Starts the fresh-process rows' programs for process_bench and reports how
// each ended, how long it ran and its peak resident memory. A child that
// replaces a copy of its parent inherits the parent's peak as its own, so
// the benchmark, a large process, does not start them itself: this small one
// does, and its own size is the floor under every row's figure.
//
// Reads lines "program[\targument]" on standard input; answers each with
// "status peak_kib nanoseconds". Uses the C library alone, so that it loads
// no C++ runtime.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

int main() {
    char line[8192];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        char* argument = strchr(line, '\t');
        if (argument != nullptr) *argument++ = '\0';
        char* arguments[] = {line, argument, nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        timespec start{};
        timespec end{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        pid_t child = 0;
        int status = -1;
        rusage usage{};
        if (posix_spawn(&child, line, &actions, nullptr, arguments, environ) == 0 &&
            wait4(child, &status, 0, &usage) == child)
            status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else
            status = -1;
        clock_gettime(CLOCK_MONOTONIC, &end);
        posix_spawn_file_actions_destroy(&actions);
        const long long nanoseconds = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
        printf("%d %ld %lld\n", status, usage.ru_maxrss, nanoseconds);
        fflush(stdout);
    }
    return 0;
}
