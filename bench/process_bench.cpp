// Whole short-lived processes that report one trace, started by a small
// launcher and timed from start to exit; peak resident memory is the child's
// own, as the kernel accounts it.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
    double seconds = 0;
};

// The launcher (fresh/launcher.cpp), started once: it starts each child and
// times it, so that no child's peak memory counts this process's.
class launcher {
public:
    launcher() {
        int to_child[2];
        int from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, to_child[1]);
        posix_spawn_file_actions_addclose(&actions, from_child[0]);
        const std::string program = program_directory() + "/calltrail_bench_launcher";
        std::vector<char*> arguments{const_cast<char*>(program.c_str()), nullptr};
        std::vector<char*> environment = quiet_environment();
        const bool started =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, arguments.data(), environment.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
        close(to_child[0]);
        close(from_child[1]);
        if (!started) {
            close(to_child[1]);
            close(from_child[0]);
            return;
        }
        requests_ = fdopen(to_child[1], "w");
        answers_ = fdopen(from_child[0], "r");
    }
    ~launcher() {
        if (requests_ != nullptr) fclose(requests_);
        if (answers_ != nullptr) fclose(answers_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    launcher(const launcher&) = delete;
    launcher& operator=(const launcher&) = delete;

    child_result run(const std::string& program, const char* mode) {
        child_result result;
        if (requests_ == nullptr || answers_ == nullptr) return result;
        std::fprintf(requests_, "%s%s%s\n", program.c_str(), mode != nullptr ? "\t" : "", mode != nullptr ? mode : "");
        std::fflush(requests_);
        long long nanoseconds = 0;
        if (std::fscanf(answers_, "%d %ld %lld", &result.status, &result.peak_rss_kib, &nanoseconds) != 3)
            result.status = -1;
        result.seconds = static_cast<double>(nanoseconds) / 1e9;
        return result;
    }

private:
    pid_t pid_ = 0;
    FILE* requests_ = nullptr;
    FILE* answers_ = nullptr;
};

launcher& the_launcher() {
    static launcher instance;
    return instance;
}

void fresh_process(benchmark::State& state, const char* program_name, const char* mode) {
    const std::string program = program_directory() + "/" + program_name;
    long peak = 0;
    for (auto _ : state) {
        const child_result child = the_launcher().run(program, mode);
        if (child.status != 0) {
            const std::string why = child.status == 3 ? "the program rendered an empty text"
                                                      : "the program failed: status " + std::to_string(child.status);
            state.SkipWithError(why.c_str());
            break;
        }
        state.SetIterationTime(child.seconds);
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
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}

const bool registered = register_rows();

} // namespace

BENCHMARK_MAIN();
