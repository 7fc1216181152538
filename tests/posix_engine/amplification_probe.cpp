// Not a test: times one lookup in each amplifying input at full size and
// reports its time and peak resident memory, each in a child of its own.
//   posix_engine_amplification_probe [NAME...]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "crafted_object.hpp"
#include "platform/posix/debug_engine/loaded_module.hpp"

using namespace korvo::calltrail::posix_engine;

namespace {

long peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Processor time, which other load on the machine does not stretch.
double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void write_file(const std::string& path, const crafted::bytes& contents) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) std::abort();
    close(fd);
}

// Only the lookups are timed, not the making of the input.
void look_up(module_description d) {
    const long before = peak_kib();
    const double cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    loaded_module module(std::move(d));
    function_answer function;
    source_location location;
    const bool named = module.function_at(crafted::code_start + 0x800, function);
    const bool located = module.line_at(crafted::code_start + 0x800, location);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("  named %d, located %d, %.3f s (%.3f s of processor), peak %ld MiB (%ld MiB before)\n", named, located,
                seconds, cpu_seconds() - cpu_start, peak_kib() / 1024, before / 1024);
}

void in_memory(const crafted::bytes& image) {
    module_description d;
    d.loader_name = d.path = d.name = "crafted";
    d.source = module_source::memory;
    d.image = image.data();
    d.image_size = image.size();
    d.code.emplace_back(0, crafted::code_end);
    look_up(std::move(d));
}

// A library without build-id whose debug link leads to a sparse file of a
// gigabyte that starts as a debug file does.
void sparse_debug_link() {
    char directory[] = "/tmp/calltrail_probe_XXXXXX";
    if (mkdtemp(directory) == nullptr) std::abort();
    const std::string library = std::string(directory) + "/crafted.so";
    const std::string debug = std::string(directory) + "/crafted.debug";
    write_file(library, crafted::linked_library("crafted.debug", 0x12345678));
    write_file(debug, crafted::linked_debug_file());
    if (truncate(debug.c_str(), 1L << 30) != 0) std::abort();
    module_description d;
    d.loader_name = d.path = library;
    d.name = "crafted.so";
    d.code.emplace_back(0, crafted::code_end);
    look_up(std::move(d));
    unlink(debug.c_str());
    unlink(library.c_str());
    rmdir(directory);
}

struct input {
    const char* name;
    std::function<void()> run;
};

} // namespace

int main(int argc, char** argv) {
    const input inputs[] = {
        {"shared_abbreviations_300k", [] { in_memory(crafted::shared_abbreviations(6000, 15000)); }},
        {"shared_abbreviations_1200k", [] { in_memory(crafted::shared_abbreviations(24000, 60000)); }},
        {"shared_range_list_92k", [] { in_memory(crafted::shared_range_list(6000, 3000)); }},
        {"long_directory_66k", [] { in_memory(crafted::long_directory(6800, 32000, false)); }},
        {"long_directory_265k", [] { in_memory(crafted::long_directory(27000, 128000, false)); }},
        {"defined_files_66k", [] { in_memory(crafted::long_directory(4200, 32000, true)); }},
        // A directory no longer than a path may be.
        {"long_directory_4k_69k", [] { in_memory(crafted::long_directory(13000, 4000, false)); }},
        {"inflating_unit_1g", [] { in_memory(crafted::inflating_unit(std::size_t{1} << 30)); }},
        // The largest unit of one-byte entries a stream of its size may still inflate to.
        {"inflating_unit_16m", [] { in_memory(crafted::inflating_unit((std::size_t{16} << 20) - 4096)); }},
        {"inflating_zstd_unit_1g", [] { in_memory(crafted::inflating_unit(std::size_t{1} << 30, true)); }},
        {"sparse_debug_link_1g", [] { sparse_debug_link(); }},
    };
    for (const input& in : inputs) {
        bool wanted = argc == 1;
        for (int i = 1; i < argc; ++i) wanted |= std::strcmp(argv[i], in.name) == 0;
        if (!wanted) continue;
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            std::printf("%-28s", in.name);
            in.run();
            std::fflush(stdout);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("  %s: child ended with %d\n", in.name, status);
    }
    return 0;
}
