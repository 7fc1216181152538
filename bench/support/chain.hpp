#ifndef CALLTRAIL_BENCH_CHAIN_HPP
#define CALLTRAIL_BENCH_CHAIN_HPP

#include <cstddef>

namespace calltrail_bench {

enum class route {
    // Near its bottom the chain passes through the hop library and through
    // the C library's qsort_r, as a real program's stack does.
    through_libraries,
    // Every frame of the chain is in the calling executable.
    executable_only,
};

constexpr std::size_t chain_length = 64;

// Calls work(argument) below `depth` (at most chain_length) distinct functions
// of this translation unit, so that walks and lookups meet a different
// function in every frame.
void run_in_chain(std::size_t depth, route how, void (*work)(void*), void* argument);

} // namespace calltrail_bench

#endif
