#include <korvo/calltrail/this_thread_frames.hpp>

#include "platform/platform.hpp"

namespace korvo {
namespace calltrail {
namespace detail {

// Both counts are narrowed to the walker's 32 bits, not clamped, and skip is
// passed on as given: the walk starts inside this function.
std::size_t this_thread_frames::collect(const void** out, std::size_t max_frames, std::size_t skip) noexcept {
    const USHORT written = RtlCaptureStackBackTrace(static_cast<ULONG>(skip), static_cast<ULONG>(max_frames),
                                                    const_cast<PVOID*>(out), nullptr);
    return static_cast<std::size_t>(written);
}

std::size_t dump(void*, const void* const*, std::size_t) noexcept { return 0; }

std::size_t dump(const char*, const void* const*, std::size_t) noexcept { return 0; }

} // namespace detail
} // namespace calltrail
} // namespace korvo
