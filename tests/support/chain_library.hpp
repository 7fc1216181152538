#ifndef CALLTRAIL_TESTS_CHAIN_LIBRARY_HPP
#define CALLTRAIL_TESTS_CHAIN_LIBRARY_HPP

#include <cstddef>

extern "C" {
// Calls back through a frame of its own, so that a walk crosses this library.
std::size_t ct_chain_through_library(std::size_t (*callback)(void*), void* argument);
}

#endif
