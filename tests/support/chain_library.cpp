#include "chain_library.hpp"

extern "C" std::size_t ct_chain_through_library(std::size_t (*callback)(void*), void* argument) {
    const std::size_t result = callback(argument);
    // Work after the call keeps this frame on the stack.
    __asm__ __volatile__("" ::: "memory");
    return result;
}
