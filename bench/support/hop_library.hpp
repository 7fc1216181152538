#ifndef CALLTRAIL_BENCH_HOP_LIBRARY_HPP
#define CALLTRAIL_BENCH_HOP_LIBRARY_HPP

#include <cstddef>

extern "C" {
// Calls back through a frame of its own, so that a chain crosses a shared
// library.
std::size_t ct_bench_hop(std::size_t (*callback)(void*), void* argument);
}

#endif
