// What a walk costs, calltrail's against libunwind's unw_backtrace and
// libgcc's _Unwind_Backtrace, each timed in turn in one run:
//   walk_cost depth                whole walks of 8, 32 and 128 frames
//   walk_cost libraries DIR N HOPS a stack through N copies of a library (DIR/libhop_I.so), HOPS links deep
//   walk_cost first WALKER         the first walk of a fresh process, 64 frames
// Prints the median of the repetitions of each, in nanoseconds.
#include "walkers.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace walker_bench;

namespace {

using hop_fn = std::size_t (*)(std::size_t, void*);

struct timing {
    walker which;
    int wanted;
    int rounds;
    std::vector<double> per_walk; // ns, one per repetition
    int frames = 0;
};

void time_here(timing& t) {
    static void* out[4096];
    const auto start = std::chrono::steady_clock::now();
    int got = 0;
    for (int i = 0; i < t.rounds; ++i) got = walk_with(t.which, out, t.wanted);
    const auto end = std::chrono::steady_clock::now();
    t.per_walk.push_back(std::chrono::duration<double, std::nano>(end - start).count() / t.rounds);
    t.frames = got;
}

// A chain of calls in this executable, depth frames deep.
extern "C" __attribute__((noinline)) std::size_t cost_chain(std::size_t depth, void* argument) {
    volatile char frame[16];
    frame[depth % 16] = 1;
    if (depth == 0) {
        time_here(*static_cast<timing*>(argument));
        return 0;
    }
    const std::size_t result = cost_chain(depth - 1, argument) + static_cast<std::size_t>(frame[depth % 16]);
    __asm__ __volatile__("" ::: "memory");
    return result;
}

std::vector<hop_fn> hops;

// Between two links: the next copy, or the timed walks at the bottom.
extern "C" __attribute__((noinline)) std::size_t cost_dispatch(std::size_t depth, void* argument) {
    if (depth == 0) {
        time_here(*static_cast<timing*>(argument));
        return 0;
    }
    const std::size_t result = hops[depth % hops.size()](depth - 1, argument);
    __asm__ __volatile__("" ::: "memory");
    return result;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Repetitions of every walker interleave, so that a change of the machine's
// load falls on all of them alike.
void run(const char* what, std::size_t (*chain)(std::size_t, void*), std::size_t depth, int wanted, int rounds,
         int repetitions) {
    std::vector<timing> timings;
    // CALLTRAIL_WALKERS=calltrail,libunwind times only those (for callgrind).
    const char* only = std::getenv("CALLTRAIL_WALKERS");
    for (int w = 0; w < 3; ++w)
        if (only == nullptr || std::strstr(only, walker_names[w]) != nullptr)
            timings.push_back(timing{static_cast<walker>(w), wanted, rounds, {}});
    for (int r = 0; r < repetitions; ++r)
        for (timing& t : timings) chain(depth, &t);
    for (const timing& t : timings) {
        const double m = median(t.per_walk);
        std::printf("%-28s %-10s frames %5d  walk %10.1f ns  per frame %7.2f ns\n", what,
                    walker_names[static_cast<int>(t.which)], t.frames, m, t.frames ? m / t.frames : 0.0);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "depth";
    if (mode == "first") {
        resolve_walkers(false);
        timing t{argc > 2 ? walker_named(argv[2]) : walker::ours, 64, 1, {}};
        cost_chain(40, &t);
        std::printf("first walk %-10s frames %d  %.0f ns\n", walker_names[static_cast<int>(t.which)], t.frames,
                    t.per_walk[0]);
        return 0;
    }
    resolve_walkers();
    const int repetitions = std::getenv("REPETITIONS") ? std::atoi(std::getenv("REPETITIONS")) : 15;
    if (mode == "depth") {
        // Frames of the program and the C library's start below the chain.
        for (const int depth : {8, 32, 128}) {
            if (std::getenv("DEPTH") != nullptr && std::atoi(std::getenv("DEPTH")) != depth) continue;
            const std::string what = "whole walk, depth " + std::to_string(depth);
            run(what.c_str(), &cost_chain, static_cast<std::size_t>(depth - 6), depth,
                (std::getenv("ROUNDS") ? std::atoi(std::getenv("ROUNDS")) : 20000 / depth * 10), repetitions);
        }
        return 0;
    }
    if (mode == "libraries" && argc > 4) {
        const int count = std::atoi(argv[3]);
        const std::size_t links = static_cast<std::size_t>(std::atoi(argv[4]));
        for (int i = 0; i < count; ++i) {
            const std::string path = std::string(argv[2]) + "/libhop_" + std::to_string(i) + ".so";
            void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (library == nullptr) {
                std::fprintf(stderr, "%s\n", dlerror());
                return 1;
            }
            *static_cast<hop_fn*>(dlsym(library, "ct_walk_next")) = &cost_dispatch;
            hops.push_back(reinterpret_cast<hop_fn>(dlsym(library, "ct_walk_hop")));
        }
        const std::string what = std::to_string(count) + " libraries, " + std::to_string(2 * links) + " links";
        run(what.c_str(), &cost_dispatch, links, 4096, 20, repetitions);
        return 0;
    }
    std::fprintf(stderr, "usage: %s depth | libraries DIR N LINKS | first WALKER\n", argv[0]);
    return 2;
}
