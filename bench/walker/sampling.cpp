// A profiler's signal landing anywhere: a timer signal every 5 to 45 us, on
// this thread, while it runs loops through prologues and epilogues, leaf
// functions, memcpy and strlen, alloca, arrays of variable length, realigned
// stacks, the vDSO, throw and catch, and longjmp. The handler walks with one
// walker and keeps the addresses; afterwards each sample is classed: did it
// reach main, and did it hold a garbage frame (an address in no executable
// mapping). Walkers named together walk each sample in turn from the same
// handler, so that they are compared on the same interrupted contexts.
//   sampling WALKER[,WALKER...] SAMPLES   prints one line a walker, and for
//                                         calltrail with libunwind the samples
//                                         only one of them took to main
#include "walkers.hpp"

#include <dlfcn.h>
#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace walker_bench;

namespace {

constexpr int most_frames = 64;
constexpr int most_samples = 20000;
constexpr int most_walkers = 3;
void* samples[most_walkers][most_samples][most_frames];
int sample_sizes[most_walkers][most_samples];
std::atomic<int> taken{0};
int wanted_samples = 0;
walker walkers[most_walkers];
int walker_count = 0;
timer_t timer;
std::uint64_t random_state = 88172645463325252ull;

void arm() {
    random_state ^= random_state << 13;
    random_state ^= random_state >> 7;
    random_state ^= random_state << 17;
    itimerspec next{};
    next.it_value.tv_nsec = 5000 + static_cast<long>(random_state % 40000);
    timer_settime(timer, 0, &next, nullptr);
}

void on_tick(int) {
    const int at = taken.load(std::memory_order_relaxed);
    if (at >= wanted_samples) return;
    for (int w = 0; w < walker_count; ++w) sample_sizes[w][at] = walk_with(walkers[w], samples[w][at], most_frames);
    taken.store(at + 1, std::memory_order_relaxed);
    arm();
}

// The loops, each kept from being folded away.
volatile std::uintptr_t sink;

__attribute__((noinline)) std::uintptr_t leaf(std::uintptr_t x) { return x * 2654435761u + (x >> 3); }

__attribute__((noinline)) void with_alloca(std::size_t n) {
    auto* block = static_cast<volatile char*>(__builtin_alloca(n));
    for (std::size_t i = 0; i < n; i += 64) block[i] = static_cast<char>(i);
    sink = block[n / 2];
}

__attribute__((noinline)) void with_array_of_variable_length(std::size_t n) {
    volatile char block[n];
    for (std::size_t i = 0; i < n; i += 64) block[i] = static_cast<char>(i);
    sink = block[n / 3];
}

__attribute__((noinline)) void realigned() {
    alignas(64) volatile char block[256];
    block[0] = 1;
    sink = block[0] + leaf(sink);
}

__attribute__((noinline)) void copies() {
    static char from[4096], to[4096];
    std::memset(from, 'x', sizeof from - 1);
    std::memcpy(to, from, sizeof to);
    sink = std::strlen(to);
}

__attribute__((noinline)) void clock_reads() {
    timespec now;
    for (int i = 0; i < 20; ++i) clock_gettime(CLOCK_MONOTONIC, &now);
    sink = static_cast<std::uintptr_t>(now.tv_nsec);
}

__attribute__((noinline)) void thrower(int n) {
    if (n % 2 == 0) throw std::runtime_error("sampled");
    sink = n;
}

__attribute__((noinline)) void throws() {
    for (int i = 0; i < 4; ++i) {
        try {
            thrower(i);
        } catch (const std::exception&) {
            sink = sink + 1;
        }
    }
}

jmp_buf jump;
__attribute__((noinline)) void jumper() { longjmp(jump, 1); }

__attribute__((noinline)) void jumps() {
    for (volatile int i = 0; i < 4; i = i + 1)
        if (setjmp(jump) == 0) jumper();
}

__attribute__((noinline)) void run_loops() {
    std::uintptr_t x = 1;
    while (taken.load(std::memory_order_relaxed) < wanted_samples) {
        for (int i = 0; i < 200; ++i) x = leaf(x);
        sink = x;
        with_alloca(64 + x % 1024);
        with_array_of_variable_length(64 + x % 512);
        realigned();
        copies();
        clock_reads();
        throws();
        jumps();
    }
}

// The executable mappings, read after the run.
std::vector<std::pair<std::uintptr_t, std::uintptr_t>> executable_mappings() {
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> found;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream in(line);
        std::string range, permissions;
        in >> range >> permissions;
        if (permissions.size() < 3 || permissions[2] != 'x') continue;
        const std::size_t dash = range.find('-');
        found.emplace_back(std::stoull(range.substr(0, dash), nullptr, 16),
                           std::stoull(range.substr(dash + 1), nullptr, 16));
    }
    return found;
}

// The frames of a sample, named, on stderr.
void show(const char* title, void* const* frames, int count) {
    std::fprintf(stderr, "%s\n", title);
    for (int g = 0; g < count; ++g) {
        Dl_info where{};
        const bool named = dladdr(static_cast<const char*>(frames[g]) - 1, &where) != 0;
        std::fprintf(stderr, "  %p +%lx %s %s\n", frames[g],
                     named ? static_cast<unsigned long>(static_cast<const char*>(frames[g]) -
                                                        static_cast<const char*>(where.dli_fbase))
                           : 0ul,
                     named && where.dli_sname ? where.dli_sname : "?",
                     named && where.dli_fname ? where.dli_fname : "?");
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s WALKER[,WALKER...] SAMPLES\n", argv[0]);
        return 2;
    }
    resolve_walkers();
    for (std::string names = argv[1]; !names.empty() && walker_count < most_walkers;) {
        const std::size_t comma = names.find(',');
        walkers[walker_count++] = walker_named(names.substr(0, comma).c_str());
        names = comma == std::string::npos ? std::string() : names.substr(comma + 1);
    }
    wanted_samples = std::min(std::atoi(argv[2]), most_samples);
    // Each walker's first walk, outside the handler.
    void* first[most_frames];
    for (int w = 0; w < walker_count; ++w) walk_with(walkers[w], first, most_frames);

    struct sigaction action {};
    action.sa_handler = &on_tick;
    action.sa_flags = SA_RESTART;
    sigaction(SIGPROF, &action, nullptr);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGPROF;
    event._sigev_un._tid = gettid();
    timer_create(CLOCK_MONOTONIC, &event, &timer);
    arm();
    run_loops();
    signal(SIGPROF, SIG_IGN);

    Dl_info info{};
    void* symbol_entry = nullptr;
    dladdr1(reinterpret_cast<void*>(&main), &info, &symbol_entry, RTLD_DL_SYMENT);
    const auto* symbol = static_cast<const ElfW(Sym)*>(symbol_entry);
    const auto main_start = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
    const std::uintptr_t main_end = main_start + (symbol != nullptr ? symbol->st_size : 0);
    const auto mappings = executable_mappings();
    static bool reached_main[most_walkers][most_samples];
    for (int w = 0; w < walker_count; ++w) {
        const char* name = walker_names[static_cast<int>(walkers[w])];
        int reached = 0, with_garbage = 0, garbage = 0;
        for (int s = 0; s < wanted_samples; ++s) {
            bool in_main = false, bad = false;
            for (int f = 0; f < sample_sizes[w][s]; ++f) {
                const auto pc = reinterpret_cast<std::uintptr_t>(samples[w][s][f]);
                in_main = in_main || (pc > main_start && pc <= main_end);
                bool code = false;
                for (const auto& m : mappings) code = code || (pc > m.first && pc <= m.second);
                if (!code) {
                    bad = true;
                    ++garbage;
                }
            }
            // CALLTRAIL_SAMPLING_SHOW=1 prints the frames of each sample with
            // a garbage frame; CALLTRAIL_SAMPLING_SHORT=1 of each that did not
            // reach main.
            if ((bad && std::getenv("CALLTRAIL_SAMPLING_SHOW") != nullptr) ||
                (!in_main && std::getenv("CALLTRAIL_SAMPLING_SHORT") != nullptr))
                show(name, samples[w][s], sample_sizes[w][s]);
            reached_main[w][s] = in_main;
            reached += in_main ? 1 : 0;
            with_garbage += bad ? 1 : 0;
        }
        std::printf("%-10s samples %5d  reached main %5d (%5.1f%%)  garbage frames %d in %d samples\n", name,
                    wanted_samples, reached, 100.0 * reached / wanted_samples, garbage, with_garbage);
    }
    // Where calltrail and libunwind walked the same samples: those only one
    // of them took to main, each shown with CALLTRAIL_SAMPLING_DIFF=1.
    int ours = -1, peer = -1;
    for (int w = 0; w < walker_count; ++w) {
        if (walkers[w] == walker::ours) ours = w;
        if (walkers[w] == walker::libunwind) peer = w;
    }
    if (ours < 0 || peer < 0) return 0;
    int only_ours = 0, only_peer = 0;
    for (int s = 0; s < wanted_samples; ++s) {
        if (reached_main[ours][s] == reached_main[peer][s]) continue;
        (reached_main[ours][s] ? only_ours : only_peer) += 1;
        if (std::getenv("CALLTRAIL_SAMPLING_DIFF") != nullptr) {
            show("calltrail", samples[ours][s], sample_sizes[ours][s]);
            show("libunwind", samples[peer][s], sample_sizes[peer][s]);
        }
    }
    std::printf("same samples: only calltrail reached main in %d, only libunwind in %d\n", only_ours, only_peer);
    return 0;
}
