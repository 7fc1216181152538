#ifndef CALLTRAIL_BENCH_UNWINDERS_HPP
#define CALLTRAIL_BENCH_UNWINDERS_HPP

#include <cstddef>

namespace calltrail_bench {

// libunwind's unw_backtrace, opened privately as the library opens it: linked
// into the program it would take over _Unwind_* for everything in it. Null
// when libunwind is not installed.
using unw_backtrace_fn = int (*)(void**, int);
unw_backtrace_fn private_unw_backtrace();

// libgcc's _Unwind_Backtrace, the unwinder C++ exceptions use.
std::size_t unwind_backtrace(void** out, std::size_t count);

// Follows saved frame pointers from the caller while they stay inside this
// thread's stack; stops at the first frame built without one.
std::size_t frame_pointer_walk(void** out, std::size_t count);

} // namespace calltrail_bench

#endif
