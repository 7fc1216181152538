// RtlCaptureStackBackTrace over the system unwinder.
//
// libunwind's unw_backtrace walks a frame in a few nanoseconds where libgcc's
// _Unwind_Backtrace needs over a hundred, so it is used when present. It is
// opened privately (RTLD_LOCAL) at load time: linked normally it would
// interpose _Unwind_* for the whole host process, and its static archive is
// not position-independent. Opening it here, not on first use, keeps the walk
// free of dlopen and so usable from a signal handler.

#include "platform/platform.hpp"

#include <dlfcn.h>
#include <unwind.h>

#include <cstddef>
#include <cstdint>

namespace {

using unw_backtrace_fn = int (*)(void**, int);

unw_backtrace_fn fast_backtrace = nullptr;

__attribute__((constructor)) void bind_unwinder() {
    void* library = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) fast_backtrace = reinterpret_cast<unw_backtrace_fn>(dlsym(library, "unw_backtrace"));
}

// The walker's own frame is never reported, as on Windows.
constexpr ULONG own_frames = 1;
// Walks that fit take the fast path through a buffer on the stack; 2 KiB
// still leaves room on a minimal signal stack.
constexpr ULONG stack_buffer_entries = 256;
constexpr ULONG most_entries = 0xFFFF;

struct slow_walk {
    PVOID* out;
    std::size_t to_skip;
    ULONG wanted;
    ULONG written;
};

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* argument) {
    auto& walk = *static_cast<slow_walk*>(argument);
    if (walk.written == walk.wanted) return _URC_END_OF_STACK;
    const auto ip = _Unwind_GetIP(context);
    if (ip == 0) return _URC_END_OF_STACK;
    if (walk.to_skip > 0) {
        --walk.to_skip;
        return _URC_NO_REASON;
    }
    walk.out[walk.written++] = reinterpret_cast<PVOID>(ip);
    return _URC_NO_REASON;
}

ULONG hash_of(const PVOID* entries, ULONG count) {
    ULONG hash = 0;
    for (ULONG i = 0; i < count; ++i) hash += static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(entries[i]));
    return hash;
}

} // namespace

__attribute__((noinline)) USHORT NTAPI RtlCaptureStackBackTrace(ULONG frames_to_skip, ULONG frames_to_capture,
                                                                PVOID* back_trace, PULONG back_trace_hash) {
    const ULONG wanted = frames_to_capture < most_entries ? frames_to_capture : most_entries;
    ULONG written = 0;
    if (wanted != 0) {
        const std::size_t leading = std::size_t{own_frames} + frames_to_skip;
        if (fast_backtrace != nullptr && leading + wanted <= stack_buffer_entries) {
            void* entries[stack_buffer_entries];
            const int got = fast_backtrace(entries, static_cast<int>(leading + wanted));
            for (std::size_t i = leading; i < static_cast<std::size_t>(got > 0 ? got : 0); ++i)
                back_trace[written++] = entries[i];
        } else {
            // _Unwind_Backtrace also reports this function first.
            slow_walk walk{back_trace, leading, wanted, 0};
            _Unwind_Backtrace(record_frame, &walk);
            written = walk.written;
        }
    }
    if (back_trace_hash != nullptr) *back_trace_hash = hash_of(back_trace, written);
    // Keeps this frame on the stack: a tail call would drop the caller's.
    __asm__ __volatile__("" ::: "memory");
    return static_cast<USHORT>(written);
}
