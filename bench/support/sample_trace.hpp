#ifndef CALLTRAIL_BENCH_SAMPLE_TRACE_HPP
#define CALLTRAIL_BENCH_SAMPLE_TRACE_HPP

#include "chain.hpp"

#include <cstddef>

namespace calltrail_bench {

constexpr std::size_t sample_frames = 32;

struct sample_trace {
    const void* addresses[sample_frames] = {};
    std::size_t count = 0;
};

// The innermost sample_frames frames at the bottom of a chain, taken with the
// C library's backtrace so that every row renders the same addresses.
sample_trace take_sample(route how);

} // namespace calltrail_bench

#endif
