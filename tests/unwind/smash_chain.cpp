// A chain of calls that overwrites words of its callers' frames and faults;
// built once with frame pointers and once without.
#include "unwind/smash_chain.hpp"

#include <cstdint>

namespace {

// Not on the stack, whose words it chooses.
std::uint64_t state;

std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// Its writes land where AddressSanitizer would rightly object.
__attribute__((noinline, no_sanitize("address"))) void smash_and_fault(volatile char* caller, const smash_plan& plan) {
    const auto here = reinterpret_cast<std::uintptr_t>(caller) & ~std::uintptr_t{7};
    state = plan.seed * 0x9e3779b97f4a7c15u + 1;
    for (std::uintptr_t at = here - 64 + 8 * (next() % 32), n = 1 + next() % 40; n > 0; --n, at += 8) {
        if (at + 8 > plan.stack_top) break;
        const std::uintptr_t values[] = {next(), 0, here + next() % 4096 - 2048, plan.stack_top - 8 * (1 + next() % 4),
                                         plan.forged[next() % 4] + next() % 64 * (next() & 1)};
        if (next() % 3 != 0) *reinterpret_cast<volatile std::uintptr_t*>(at) = values[plan.pattern % 5];
    }
    *reinterpret_cast<volatile int*>(std::uintptr_t{16}) = 0;
}

} // namespace

// Where forged return addresses lead: a CFA a megabyte above the stack
// pointer, far past a small stack's top.
__attribute__((noinline)) int CT_LARGE_FRAME(int n) {
    volatile char block[1 << 20];
    block[n] = 1;
    return block[n / 2];
}

__attribute__((noinline)) void CT_SMASH_CHAIN(int depth, const smash_plan& plan) {
    volatile char frame[24];
    frame[depth % 24] = 1;
    if (depth == 0)
        smash_and_fault(frame, plan);
    else
        CT_SMASH_CHAIN(depth - 1, plan);
    frame[0] = frame[1];
}
