#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_PORTABLE_WALK_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_PORTABLE_WALK_HPP

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// libgcc's _Unwind_Backtrace, for processors without a walk of our own. Its
// own frame and its caller's are not written. In a signal handler (libgcc 12
// on glibc 2.35 and later, read from its arm64 code): frames are found with
// _dl_find_object, so no lock and no allocation, unless the program
// registered unwind tables itself (__register_frame), which makes every
// lookup take libgcc's mutex; the first walk of a process fills a table
// under pthread_once; and saved registers are read where the unwind tables
// say, unchecked: a return address in no loaded object makes libgcc read the
// instruction there, looking for the kernel's signal return.
std::uint32_t portable_walk(void** out, std::uint64_t skip, std::uint32_t wanted);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
