#ifndef KORVO_CALLTRAIL_PRINT_HPP
#define KORVO_CALLTRAIL_PRINT_HPP

// One-call helpers for the common case: the calling thread's stack as text.
// Header-only, so they add nothing to the library's exports.

#include <cstddef>
#include <ostream>
#include <string>

#include <korvo/calltrail/frame.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

// The helpers skip their own frame, which only exists if they stay out of line.
#if defined(_MSC_VER)
#define KORVO_CALLTRAIL_NOINLINE __declspec(noinline)
#else
#define KORVO_CALLTRAIL_NOINLINE __attribute__((noinline))
#endif

namespace korvo {
namespace calltrail {

constexpr std::size_t default_trace_depth = 64;

// The numbered trace of the caller's stack, starting at the caller (skip
// passes over that many more frames). Empty with the no-op library.
template <std::size_t MaxFrames = default_trace_depth>
KORVO_CALLTRAIL_NOINLINE inline std::string current_trace(std::size_t skip = 0) {
    const void* addresses[MaxFrames];
    // 2: collect's own frame and this one.
    const std::size_t count = detail::this_thread_frames::collect(addresses, MaxFrames, skip + 2);
    frame frames[MaxFrames];
    for (std::size_t i = 0; i < count; ++i) frames[i] = frame(addresses[i]);
    return detail::to_string(frames, count);
}

// Writes the caller's stack to os, one numbered line per frame.
template <std::size_t MaxFrames = default_trace_depth>
KORVO_CALLTRAIL_NOINLINE inline std::ostream& print_current_stack(std::ostream& os, std::size_t skip = 0) {
    return os << current_trace<MaxFrames>(skip + 1);
}

} // namespace calltrail
} // namespace korvo

#endif
