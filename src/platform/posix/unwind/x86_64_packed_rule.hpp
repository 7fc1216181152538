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

// The rule as the cache keeps it, in one word with the directory index of
// the object it was read from:
//   bits 0-23   rbp's, rbx's and the return address's slots, a byte each
//   bits 24-27  flags: the CFA is counted from rbp (else from rsp); rbp is
//               restored from its slot; rbx is; and `special`, for rules
//               the loop over ordinary frames leaves to the walk (a signal
//               frame, the outermost frame, a CFA counted from rbx, or
//               slots other than just below the CFA), whose kind is then in
//               bits 28-29
//   bits 30-39  the object's index
//   bits 40-63  the CFA's offset, signed (on top, so that one shift brings
//               it out: the next frame waits on it)
// An ordinary rule's return address is the word below the CFA. A special
// rule's word counts from rsp with an offset 4 bytes off its own (the real
// base and offset are told by its kind and `misaligned`), so that the loop,
// whose stack pointer is aligned, takes it for a step to a misaligned CFA
// and refuses it without a test of its own.
namespace cached {
constexpr std::uint64_t from_rbp = std::uint64_t{1} << 24;
constexpr std::uint64_t rbp_saved = std::uint64_t{1} << 25;
constexpr std::uint64_t rbx_saved = std::uint64_t{1} << 26;
constexpr std::uint64_t special = std::uint64_t{1} << 27;
constexpr unsigned special_shift = 28;
enum : std::uint64_t { whole_rule, whole_rule_from_rbp, whole_rule_from_rbx, signal_frame_or_outermost };
constexpr std::int32_t misaligned = 4;
constexpr unsigned index_shift = 30;
constexpr unsigned index_bits = 10;
constexpr unsigned offset_shift = 40;
constexpr unsigned offset_bits = 24;
} // namespace cached

static_assert(cached::offset_shift + cached::offset_bits == 64, "the offset is the word's top");
inline std::uint32_t cached_object(std::uint64_t word) {
    return static_cast<std::uint32_t>(word >> cached::index_shift) & ((1u << cached::index_bits) - 1);
}
inline std::int32_t cached_offset(std::uint64_t word) {
    return static_cast<std::int32_t>(static_cast<std::int64_t>(word) >> cached::offset_shift);
}

// False for a rule the word cannot hold (a CFA offset of 8 MiB or more).
inline bool cache_word(const packed_rule& rule, std::uint32_t index, std::uint64_t& word) {
    using namespace cached;
    constexpr std::int32_t limit = (std::int32_t{1} << (offset_bits - 1)) - misaligned;
    const auto below_cfa = [](std::int8_t slot) { return slot < 0 && slot != lost; };
    std::uint64_t flags = 0;
    std::int32_t offset = rule.offset;
    switch (rule.base) {
    case cfa_base::rsp:
    case cfa_base::rbp:
    case cfa_base::rbx:
        if (rule.offset < -limit || rule.offset >= limit) return false;
        if (rule.base != cfa_base::rbx && rule.return_address == -1 && (rule.rbp == keep || below_cfa(rule.rbp)) &&
            (rule.rbx == keep || below_cfa(rule.rbx))) {
            flags = (rule.base == cfa_base::rbp ? from_rbp : 0) | (rule.rbp != keep ? rbp_saved : 0) |
                    (rule.rbx != keep ? rbx_saved : 0);
        } else {
            const std::uint64_t kind = rule.base == cfa_base::rsp   ? whole_rule
                                       : rule.base == cfa_base::rbp ? whole_rule_from_rbp
                                                                    : whole_rule_from_rbx;
            flags = special | kind << special_shift;
            offset += misaligned;
        }
        break;
    case cfa_base::signal_frame:
    case cfa_base::outermost:
        // Told apart by the return address's slot.
        flags = special | signal_frame_or_outermost << special_shift;
        offset = misaligned;
        break;
    }
    const std::int8_t return_address = rule.base == cfa_base::signal_frame ? 0
                                       : rule.base == cfa_base::outermost  ? 1
                                                                           : rule.return_address;
    word =
        std::uint64_t{static_cast<std::uint8_t>(rule.rbp)} | std::uint64_t{static_cast<std::uint8_t>(rule.rbx)} << 8 |
        std::uint64_t{static_cast<std::uint8_t>(return_address)} << 16 | flags |
        (static_cast<std::uint64_t>(std::int64_t{offset}) & ((std::uint64_t{1} << offset_bits) - 1)) << offset_shift |
        std::uint64_t{index} << index_shift;
    return index < (1u << index_bits);
}

inline packed_rule cached_rule(std::uint64_t word) {
    using namespace cached;
    packed_rule rule;
    const std::uint64_t kind = word >> special_shift & 3;
    const auto return_address = static_cast<std::int8_t>(word >> 16);
    if ((word & special) == 0) {
        rule.base = (word & from_rbp) != 0 ? cfa_base::rbp : cfa_base::rsp;
        rule.offset = cached_offset(word);
        rule.rbp = (word & rbp_saved) != 0 ? static_cast<std::int8_t>(word) : keep;
        rule.rbx = (word & rbx_saved) != 0 ? static_cast<std::int8_t>(word >> 8) : keep;
        rule.return_address = -1;
    } else if (kind == signal_frame_or_outermost) {
        rule.base = return_address == 0 ? cfa_base::signal_frame : cfa_base::outermost;
    } else {
        rule.base = kind == whole_rule ? cfa_base::rsp : kind == whole_rule_from_rbp ? cfa_base::rbp : cfa_base::rbx;
        rule.offset = cached_offset(word) - misaligned;
        rule.rbp = static_cast<std::int8_t>(word);
        rule.rbx = static_cast<std::int8_t>(word >> 8);
        rule.return_address = return_address;
    }
    return rule;
}

// Steps to the caller by a cached ordinary rule, with rbp and rbx known;
// false, with the registers unchanged, for other rules and where a check
// fails. Reads only [sp, top): the CFA is aligned, above sp and within top,
// the return address is the word below it, and a saved register's slot lies
// below the CFA and is read only at or above sp (below, it was popped
// already: the register holds the caller's value). sp must be aligned, so
// that special rules are refused, and above the first 4 KiB, so that no
// slot's address wraps.
namespace cached {
// The frame a frame pointer makes: the CFA 16 bytes above rbp, rbp saved
// just below the return address (rbx may be anywhere).
constexpr std::uint64_t frame_pointer_mask =
    0xff | from_rbp | rbp_saved | special | ((std::uint64_t{1} << offset_bits) - 1) << offset_shift;
constexpr std::uint64_t frame_pointer_rule = 0xfe | from_rbp | rbp_saved | std::uint64_t{16} << offset_shift;
} // namespace cached

__attribute__((always_inline)) inline bool ordinary_step(std::uintptr_t& pc, std::uintptr_t& sp, std::uintptr_t& bp,
                                                         std::uintptr_t& bx, std::uintptr_t top, std::uint64_t word) {
    std::uintptr_t cfa;
    if ((word & cached::frame_pointer_mask) == cached::frame_pointer_rule) {
        // Counted from rbp alone, not from the rule's word, and kept a
        // branch (the barrier): the processor runs on to the next frame's
        // reads while the rule is still being looked up.
        cfa = bp + 16;
        __asm__("" : "+r"(cfa));
        if (cfa <= sp || cfa > top || cfa % 8 != 0) return false;
        if (bp >= sp) bp = read_stack_word(bp);
    } else {
        // A branch too, so that only the offset is waited on.
        std::uintptr_t from = sp;
        if ((word & cached::from_rbp) != 0) {
            from = bp;
            __asm__("" : "+r"(from));
        }
        cfa = from + static_cast<std::uintptr_t>(std::intptr_t{cached_offset(word)});
        if (cfa <= sp || cfa > top || cfa % 8 != 0) return false;
        if ((word & cached::rbp_saved) != 0) {
            const std::uintptr_t at =
                cfa + static_cast<std::uintptr_t>(std::intptr_t{static_cast<std::int8_t>(word)} * 8);
            if (at >= sp) bp = read_stack_word(at);
        }
    }
    if ((word & cached::rbx_saved) != 0) {
        const std::uintptr_t at =
            cfa + static_cast<std::uintptr_t>(std::intptr_t{static_cast<std::int8_t>(word >> 8)} * 8);
        if (at >= sp) bx = read_stack_word(at);
    }
    pc = read_stack_word(cfa - 8);
    sp = cfa;
    return true;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
