#include "platform/posix/unwind/portable_walk.hpp"

#include <unwind.h>

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

struct walk {
    void** out;
    std::uint64_t to_skip;
    std::uint32_t wanted;
    std::uint32_t written;
};

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* argument) {
    auto& w = *static_cast<walk*>(argument);
    if (w.written == w.wanted) return _URC_END_OF_STACK;
    const auto ip = _Unwind_GetIP(context);
    if (ip == 0) return _URC_END_OF_STACK;
    if (w.to_skip > 0) {
        --w.to_skip;
        return _URC_NO_REASON;
    }
    w.out[w.written++] = reinterpret_cast<void*>(ip);
    return _URC_NO_REASON;
}

} // namespace

__attribute__((noinline)) std::uint32_t portable_walk(void** out, std::uint64_t skip, std::uint32_t wanted) {
    // _Unwind_Backtrace reports this function first, then its caller.
    walk w{out, skip + 2, wanted, 0};
    if (wanted != 0) _Unwind_Backtrace(record_frame, &w);
    // Keeps this frame: a tail call would drop the caller's.
    __asm__ __volatile__("" ::: "memory");
    return w.written;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
