// Whole short-lived processes that report one trace, started from here and
// timed from start to exit; peak resident memory is the child's own, as the
// kernel accounts it.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string program_directory() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string text(path, static_cast<std::size_t>(length));
    return text.substr(0, text.rfind('/'));
}

// The peers' libdwfl would otherwise ask a debuginfod server when the
// environment names one.
std::vector<char*> quiet_environment() {
    std::vector<char*> variables;
    for (char** v = environ; *v != nullptr; ++v)
        if (std::strncmp(*v, "DEBUGINFOD_", 11) != 0) variables.push_back(*v);
    variables.push_back(nullptr);
    return variables;
}

struct child_result {
    int status = -1;
    long peak_rss_kib = 0;
};

child_result run_once(const std::string& program, const char* mode, char** environment) {
    child_result result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> arguments{const_cast<char*>(program.c_str())};
    if (mode != nullptr) arguments.push_back(const_cast<char*>(mode));
    arguments.push_back(nullptr);
    pid_t child = 0;
    const int failed = posix_spawn(&child, program.c_str(), &actions, nullptr, arguments.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return result;
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.peak_rss_kib = usage.ru_maxrss;
    return result;
}

void fresh_process(benchmark::State& state, const char* program_name, const char* mode) {
    const std::string program = program_directory() + "/" + program_name;
    std::vector<char*> environment = quiet_environment();
    long peak = 0;
    for (auto _ : state) {
        const child_result child = run_once(program, mode, environment.data());
        if (child.status != 0) {
            const std::string why = child.status == 3 ? "the program rendered an empty text"
                                                      : "the program failed: status " + std::to_string(child.status);
            state.SkipWithError(why.c_str());
            break;
        }
        peak = std::max(peak, child.peak_rss_kib);
    }
    state.counters["peak_rss_kib"] = static_cast<double>(peak);
}

struct row {
    const char* name;
    const char* program;
    const char* mode;
};

const row rows[] = {
    {"fresh_ours_libc", "calltrail_bench_fresh_ours", nullptr},
    {"fresh_libdwfl_libc", "calltrail_bench_fresh_libdwfl", nullptr},
    {"fresh_backward_libc", "calltrail_bench_fresh_backward", nullptr},
    {"fresh_bare", "calltrail_bench_fresh_bare", nullptr},
    {"fresh_bare_cxx", "calltrail_bench_fresh_bare_cxx", nullptr},
    {"fresh_ours_exe", "calltrail_bench_fresh_ours", "exe"},
    {"fresh_libdwfl_exe", "calltrail_bench_fresh_libdwfl", "exe"},
    {"fresh_backward_exe", "calltrail_bench_fresh_backward", "exe"},
};

bool register_rows() {
    const std::string directory = program_directory();
    for (const row& r : rows) {
        if (access((directory + "/" + r.program).c_str(), X_OK) != 0) continue;
        benchmark::RegisterBenchmark(r.name, fresh_process, r.program, r.mode)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}

const bool registered = register_rows();

} // namespace

BENCHMARK_MAIN();
