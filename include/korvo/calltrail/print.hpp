#ifndef KORVO_CALLTRAIL_PRINT_HPP
#define KORVO_CALLTRAIL_PRINT_HPP

// One-call helpers for the common case: the calling thread's stack as text.
// Header-only, so they add nothing to the library's exports.

#include <cstddef>
#include <ostream>
#include <string>

#include <korvo/calltrail/trace.hpp>

namespace korvo {
namespace calltrail {

// The numbered trace of the caller's stack, starting at the caller (skip
// passes over that many more frames). Empty with the no-op library.
template <std::size_t MaxFrames = default_trace_depth>
KORVO_CALLTRAIL_NOINLINE inline std::string current_trace(std::size_t skip = 0) {
    // 1: this function's own frame.
    return to_string(basic_trace<MaxFrames>::current(skip + 1));
}

// Writes the caller's stack to os, one numbered line per frame.
template <std::size_t MaxFrames = default_trace_depth>
KORVO_CALLTRAIL_NOINLINE inline std::ostream& print_current_stack(std::ostream& os, std::size_t skip = 0) {
    return os << current_trace<MaxFrames>(skip + 1);
}

} // namespace calltrail
} // namespace korvo

#endif
