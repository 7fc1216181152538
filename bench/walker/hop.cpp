// One link of the chain the walk-cost benchmark builds through hundreds of
// loaded libraries: the benchmark copies this library once per link, so that
// every copy is an object of its own, and sets where each copy calls next.
#include <cstddef>

extern "C" {

using ct_walk_hop_fn = std::size_t (*)(std::size_t depth, void* argument);

__attribute__((visibility("default"))) ct_walk_hop_fn ct_walk_next = nullptr;

__attribute__((visibility("default"), noinline)) std::size_t ct_walk_hop(std::size_t depth, void* argument) {
    volatile char frame[32];
    frame[depth % 32] = 1;
    const std::size_t result = ct_walk_next(depth, argument) + static_cast<std::size_t>(frame[depth % 32]);
    // Work after the call keeps this frame on the stack.
    __asm__ __volatile__("" ::: "memory");
    return result;
}
}
