#ifndef KORVO_CALLTRAIL_THIS_THREAD_FRAMES_HPP
#define KORVO_CALLTRAIL_THIS_THREAD_FRAMES_HPP

#include <cstddef>
#include <string>

#include <korvo/calltrail/export.hpp>
#include <korvo/calltrail/frame.hpp>

namespace korvo {
namespace calltrail {
namespace detail {

class this_thread_frames {
public:
    // Writes at most max_frames return addresses of the calling thread into
    // out, innermost first, after passing over skip frames. With skip 0 the
    // first address lies inside collect itself. Both counts are taken modulo
    // 2^32 and the result never exceeds 65535. Allocates nothing, takes no
    // lock: safe in a signal handler.
    KORVO_CALLTRAIL_API static std::size_t collect(const void** out, std::size_t max_frames, std::size_t skip) noexcept;
};

// Kept for interface compatibility: writes nothing and returns 0.
KORVO_CALLTRAIL_API std::size_t dump(void* destination, const void* const* frames, std::size_t count) noexcept;
KORVO_CALLTRAIL_API std::size_t dump(const char* destination_name, const void* const* frames,
                                     std::size_t count) noexcept;

// One numbered line per frame (" 0# name at file:line\n"), under one symbol
// session for the whole trace; empty when symbols cannot be had at all.
KORVO_CALLTRAIL_API std::string to_string(const frame* frames, std::size_t count);

} // namespace detail
} // namespace calltrail
} // namespace korvo

#endif
