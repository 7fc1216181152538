// Walking the calling thread's stack: collect against the unwinders a program
// could call instead. Every walk starts at the bottom of the same chain, which
// crosses a shared library and the C library, and takes 64 frames.

#include <korvo/calltrail/this_thread_frames.hpp>

#include "support/chain.hpp"
#include "support/unwinders.hpp"

#include <benchmark/benchmark.h>
#include <execinfo.h>

#include <cstddef>

namespace {

using namespace calltrail_bench;

constexpr std::size_t frames_wanted = 64;

using walker = std::size_t (*)(void** out, std::size_t count);

struct walk_job {
    benchmark::State* state;
    walker walk;
};

// Runs at the bottom of the chain, so that every timed walk passes the whole
// chain.
void time_walks(void* argument) {
    auto& job = *static_cast<walk_job*>(argument);
    auto& state = *job.state;
    void* out[frames_wanted];
    std::size_t got = 0;
    for (auto _ : state) {
        got = job.walk(out, frames_wanted);
        benchmark::DoNotOptimize(out);
    }
    state.counters["frames"] = static_cast<double>(got);
    if (got == 0) state.SkipWithError("the walk found no frames");
}

void run_walks(benchmark::State& state, walker walk, route how) {
    walk_job job{&state, walk};
    run_in_chain(chain_length, how, time_walks, &job);
}

std::size_t ours(void** out, std::size_t count) {
    return korvo::calltrail::detail::this_thread_frames::collect(const_cast<const void**>(out), count, 0);
}

std::size_t libunwind(void** out, std::size_t count) {
    return static_cast<std::size_t>(private_unw_backtrace()(out, static_cast<int>(count)));
}

std::size_t glibc(void** out, std::size_t count) {
    return static_cast<std::size_t>(backtrace(out, static_cast<int>(count)));
}

void collect_64(benchmark::State& state) { run_walks(state, ours, route::through_libraries); }

void unw_backtrace_64(benchmark::State& state) {
    if (private_unw_backtrace() == nullptr) {
        state.SkipWithError("libunwind.so.8 is not installed");
        return;
    }
    run_walks(state, libunwind, route::through_libraries);
}

void glibc_backtrace_64(benchmark::State& state) { run_walks(state, glibc, route::through_libraries); }

void unwind_backtrace_64(benchmark::State& state) { run_walks(state, unwind_backtrace, route::through_libraries); }

// The C library keeps no frame pointers, so this reference walk stays in the
// executable's part of the chain.
void frame_pointer_64(benchmark::State& state) { run_walks(state, frame_pointer_walk, route::executable_only); }

BENCHMARK(collect_64);
BENCHMARK(unw_backtrace_64);
BENCHMARK(glibc_backtrace_64);
BENCHMARK(unwind_backtrace_64);
BENCHMARK(frame_pointer_64);

} // namespace

BENCHMARK_MAIN();
