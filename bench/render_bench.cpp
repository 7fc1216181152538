// Rendering a captured trace warm: every session has rendered this trace
// before. The peers keep their sessions between renders, as their users do;
// detail::to_string opens and closes a resolver on every call.

#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include "support/dwfl_peer.hpp"
#include "support/sample_trace.hpp"
#if CALLTRAIL_BENCH_HAVE_BACKWARD
#include "support/backward_peer.hpp"
#endif

#include <benchmark/benchmark.h>
#include <execinfo.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace calltrail_bench;
namespace calltrail = korvo::calltrail;

const sample_trace& sample() {
    static const sample_trace trace = take_sample(route::through_libraries);
    return trace;
}

const calltrail::frame* sample_frames_of(const sample_trace& trace) {
    return reinterpret_cast<const calltrail::frame*>(trace.addresses);
}

std::string ours_text() { return calltrail::detail::to_string(sample_frames_of(sample()), sample().count); }

void count_frames(benchmark::State& state) {
    state.counters["frames"] = static_cast<double>(sample().count);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void to_string_32(benchmark::State& state) {
    if (ours_text().empty()) {
        state.SkipWithError("detail::to_string answers an empty text");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(ours_text());
    count_frames(state);
}

void backtrace_symbols_32(benchmark::State& state) {
    const auto& trace = sample();
    for (auto _ : state) {
        char** lines = backtrace_symbols(const_cast<void* const*>(trace.addresses), static_cast<int>(trace.count));
        benchmark::DoNotOptimize(lines);
        std::free(lines);
    }
    count_frames(state);
}

// The peers read /proc/self/maps once, when their session starts, so they
// start before the library has opened a file: its own mappings of the objects
// it reads would show up there as extra modules.
struct peer_sessions {
    dwfl_peer dwfl;
#if CALLTRAIL_BENCH_HAVE_BACKWARD
    backward_peer backward;
#endif
    bool dwfl_works = false;

    peer_sessions() {
        dwfl_works = !dwfl.render(sample().addresses, sample().count).empty();
#if CALLTRAIL_BENCH_HAVE_BACKWARD
        backward.render(sample().addresses, sample().count);
#endif
    }
};

peer_sessions& peers() {
    static peer_sessions sessions;
    return sessions;
}

const bool peers_started_first = (peers(), true);

void libdwfl_32(benchmark::State& state) {
    if (!peers().dwfl_works) {
        state.SkipWithError("libdwfl could not report this process");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(peers().dwfl.render(sample().addresses, sample().count));
    count_frames(state);
}

#if CALLTRAIL_BENCH_HAVE_BACKWARD
void backward_32(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(peers().backward.render(sample().addresses, sample().count));
    count_frames(state);
}
#endif

// A frame of the executable's own chain: the common case of a name asked for.
calltrail::frame chain_frame() { return calltrail::frame(sample().addresses[2]); }

void frame_name(benchmark::State& state) {
    if (chain_frame().name().empty()) {
        state.SkipWithError("frame::name answers an empty text");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(chain_frame().name());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void to_string_32_threads(benchmark::State& state) {
    if (ours_text().empty()) {
        state.SkipWithError("detail::to_string answers an empty text");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(ours_text());
    count_frames(state);
}

// The names-only peer on as many threads: what a warm trace costs each of
// eight threads against what it costs the C library's renderer.
void backtrace_symbols_32_threads(benchmark::State& state) { backtrace_symbols_32(state); }

// Work that shares nothing: what 2 and 8 threads gain on this machine at
// this moment, to read the row above against.
void shared_nothing(benchmark::State& state) {
    for (auto _ : state) {
        std::uint64_t x = 1;
        for (int i = 0; i < 4000; ++i) x = x * 6364136223846793005u + 1442695040888963407u;
        benchmark::DoNotOptimize(x);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

BENCHMARK(to_string_32);
BENCHMARK(backtrace_symbols_32);
BENCHMARK(libdwfl_32);
#if CALLTRAIL_BENCH_HAVE_BACKWARD
BENCHMARK(backward_32);
#endif
BENCHMARK(frame_name);
BENCHMARK(to_string_32_threads)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(backtrace_symbols_32_threads)->Threads(8)->UseRealTime();
BENCHMARK(shared_nothing)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
