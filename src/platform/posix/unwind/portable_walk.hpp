#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_PORTABLE_WALK_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_PORTABLE_WALK_HPP

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// libgcc's _Unwind_Backtrace, for processors without a walk of our own. It
// finds frames through _dl_find_object where glibc has it (2.35 and later),
// so it takes no loader lock there. Its own frame and its caller's are not
// written.
std::uint32_t portable_walk(void** out, std::uint64_t skip, std::uint32_t wanted);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
