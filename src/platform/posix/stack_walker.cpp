// RtlCaptureStackBackTrace over our own walk of the objects' DWARF CFI on
// x86-64, and over libgcc's unwinder elsewhere. Both are signal-safe here:
// no lock (ours or the loader's), no allocation, no thread-local storage, a
// small and known use of stack.

#include "platform/platform.hpp"

#if defined(__x86_64__)
#include "platform/posix/unwind/x86_64_walk.hpp"
#else
#include "platform/posix/unwind/portable_walk.hpp"
#endif

#include <cstdint>

namespace {

constexpr ULONG most_entries = 0xFFFF;

ULONG hash_of(const PVOID* entries, ULONG count) {
    ULONG hash = 0;
    for (ULONG i = 0; i < count; ++i) hash += static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(entries[i]));
    return hash;
}

} // namespace

// The walker's own frame is never reported, as on Windows: the walk starts
// from its caller.
__attribute__((noinline)) USHORT NTAPI RtlCaptureStackBackTrace(ULONG frames_to_skip, ULONG frames_to_capture,
                                                                PVOID* back_trace, PULONG back_trace_hash) {
    const ULONG wanted = frames_to_capture < most_entries ? frames_to_capture : most_entries;
    ULONG written = 0;
    if (wanted != 0) {
#if defined(__x86_64__)
        std::uintptr_t pc, sp, bp, bx;
        korvo::calltrail::posix_unwind::capture_registers(pc, sp, bp, bx);
        written = korvo::calltrail::posix_unwind::walk_x86_64(pc, sp, bp, bx, back_trace, frames_to_skip, wanted);
#else
        written = korvo::calltrail::posix_unwind::portable_walk(back_trace, frames_to_skip, wanted);
#endif
    }
    if (back_trace_hash != nullptr) *back_trace_hash = hash_of(back_trace, written);
    // Keeps this frame on the stack: a tail call would drop the caller's.
    __asm__ __volatile__("" ::: "memory");
    return static_cast<USHORT>(written);
}
