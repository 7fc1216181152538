#ifndef CALLTRAIL_TESTS_UNWIND_SMASH_CHAIN_HPP
#define CALLTRAIL_TESTS_UNWIND_SMASH_CHAIN_HPP

#include <cstdint>

// What to write over the callers' frames: random words, zeros, pointers into
// this stack, pointers just below its top, or forged return addresses (into
// code, and into a loaded object's data, which no walk may report).
struct smash_plan {
    std::uint64_t seed;
    unsigned pattern;
    std::uintptr_t stack_top;
    std::uintptr_t forged[4];
};

void smash_chain_with_frame_pointers(int depth, const smash_plan& plan);
void smash_chain_without_frame_pointers(int depth, const smash_plan& plan);
int large_frame_with_frame_pointers(int n);
int large_frame_without_frame_pointers(int n);

#endif
