// Built twice, as two libraries of the same size whose one function keeps
// frames of different sizes at the same offset: a walk that took the rules
// of one for the other, loaded where the first was, would lose its way.
#include <cstddef>

#ifndef CT_TWIN_FRAME
#error "CT_TWIN_FRAME sets the size of the function's frame"
#endif

extern "C" __attribute__((visibility("default"), noinline)) std::size_t ct_twin_call(std::size_t (*callback)(void*),
                                                                                     void* argument) {
    volatile char frame[CT_TWIN_FRAME];
    frame[0] = 1;
    const std::size_t result = callback(argument) + static_cast<std::size_t>(frame[0]);
    // Work after the call keeps this frame on the stack.
    __asm__ __volatile__("" ::: "memory");
    return result;
}
