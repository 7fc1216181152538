#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_PACKED_RULE_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_PACKED_RULE_HPP

// One step of the x86-64 walk as the rule cache keeps it, and the step itself
// on the four registers ordinary frames need. Signal-safe.

#include "platform/posix/unwind/stack_memory.hpp"

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// The CFA as a register plus an offset, or a frame that is no such step.
enum class cfa_base : std::uint8_t { rsp, rbp, rbx, signal_frame, outermost };

// Saved registers as slots of the frame, counted in words from the CFA.
constexpr std::int8_t keep = 127;  // the caller has the same value
constexpr std::int8_t lost = -128; // the caller's value is unknown

struct packed_rule {
    cfa_base base = cfa_base::outermost;
    std::int32_t offset = 0;
    std::int8_t return_address = lost;
    std::int8_t rbp = keep;
    std::int8_t rbx = keep;

    std::uint64_t word() const {
        return std::uint64_t{static_cast<std::uint32_t>(offset)} |
               std::uint64_t{static_cast<std::uint8_t>(return_address)} << 32 |
               std::uint64_t{static_cast<std::uint8_t>(rbp)} << 40 |
               std::uint64_t{static_cast<std::uint8_t>(rbx)} << 48 |
               std::uint64_t{static_cast<std::uint8_t>(base)} << 56;
    }
};

// What an ordinary step reads and writes. The walk keeps these in the
// processor's registers, so they are plain variables, never copied as one.
struct frame_registers {
    std::uintptr_t pc = 0;
    std::uintptr_t sp = 0;
    std::uintptr_t bp = 0;
    std::uintptr_t bx = 0;
    bool bp_known = false;
    bool bx_known = false;
};

// A saved register of the frame being left, read where the stack is:
// [low, low + room). Slots lie within a kilobyte of the CFA.
inline bool read_frame_slot(std::uintptr_t low, std::uintptr_t room, std::uintptr_t cfa, std::int8_t slot,
                            std::uintptr_t& value) {
    const std::uintptr_t address = cfa + static_cast<std::uintptr_t>(std::intptr_t{slot} * 8);
    if (address - low > room - 8) return false;
    value = read_stack_word(address);
    return true;
}

// A slot below the stack pointer was popped already, in an epilogue: the
// register holds the caller's value again.
inline bool restore_register(std::uintptr_t sp, std::uintptr_t low, std::uintptr_t room, std::uintptr_t cfa,
                             std::int8_t slot, std::uintptr_t& value, bool& known) {
    if (slot == keep) return true;
    if (slot == lost) {
        known = false;
        return true;
    }
    if (cfa + static_cast<std::uintptr_t>(std::intptr_t{slot} * 8) < sp) return true;
    known = true;
    return read_frame_slot(low, room, cfa, slot, value);
}

// Steps to the caller by a packed rule of the rsp, rbp or rbx kind; false,
// with the registers unchanged, for other kinds and for a step that fails
// the checks: a CFA above the stack pointer, within the stack's top, every
// slot read in [low, top), where low is the stack pointer unless less of the
// stack is readable. Written out by hand so that the walk keeps the
// registers in the processor's.
__attribute__((always_inline)) inline bool packed_step(frame_registers& r, std::uintptr_t low, std::uintptr_t top,
                                                       std::uint64_t word) {
    const auto base = static_cast<cfa_base>(word >> 56);
    std::uintptr_t from = r.sp;
    if (base == cfa_base::rbp && r.bp_known)
        from = r.bp;
    else if (base == cfa_base::rbx && r.bx_known)
        from = r.bx;
    else if (base != cfa_base::rsp)
        return false;
    const std::uintptr_t cfa = from + static_cast<std::uintptr_t>(std::intptr_t{static_cast<std::int32_t>(word)});
    // low <= sp < cfa <= top, so room holds at least the word below the CFA.
    const std::uintptr_t room = top - low;
    if (cfa <= r.sp || cfa > top || cfa % 8 != 0 || cfa - low < 8) return false;
    // Each value in a variable of its own: copying the whole set would go
    // through memory, and cost more than the step.
    std::uintptr_t pc = 0;
    std::uintptr_t bp = r.bp;
    std::uintptr_t bx = r.bx;
    bool bp_known = r.bp_known;
    bool bx_known = r.bx_known;
    if (!read_frame_slot(low, room, cfa, static_cast<std::int8_t>(word >> 32), pc) ||
        !restore_register(r.sp, low, room, cfa, static_cast<std::int8_t>(word >> 40), bp, bp_known) ||
        !restore_register(r.sp, low, room, cfa, static_cast<std::int8_t>(word >> 48), bx, bx_known))
        return false;
    r.pc = pc;
    r.sp = cfa;
    r.bp = bp;
    r.bx = bx;
    r.bp_known = bp_known;
    r.bx_known = bx_known;
    return true;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
