// The x86-64 walk over DWARF CFI. Signal-safe throughout: it takes no lock,
// allocates nothing, keeps no thread-local state, and reads only the objects'
// unwind tables and the stack slots that pass its checks.

#if defined(__x86_64__)

#include "platform/posix/unwind/x86_64_walk.hpp"

#include "platform/posix/unwind/cfa_program.hpp"
#include "platform/posix/unwind/eh_frame.hpp"
#include "platform/posix/unwind/loaded_object.hpp"
#include "platform/posix/unwind/object_directory.hpp"
#include "platform/posix/unwind/rule_cache.hpp"
#include "platform/posix/unwind/stack_bounds.hpp"
#include "platform/posix/unwind/x86_64_packed_rule.hpp"
#include "platform/posix/unwind/x86_64_row.hpp"

#include <sys/ucontext.h>

#include <cstddef>
#include <cstring>

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

using state = machine_state;

constexpr std::uint32_t bit(unsigned number) { return std::uint32_t{1} << number; }

// Signal frames may move the stack pointer anywhere; this many end the walk.
constexpr unsigned most_signal_frames = 16;
// Below this, a pc is a call through a null pointer.
constexpr std::uintptr_t null_page = 4096;
// No code lies below this; a guessed return address there is a stack word.
constexpr std::uintptr_t lowest_code = 65536;
// A stack proven by probing is proven this far at a time, at most so often.
constexpr std::uintptr_t probe_window = std::uintptr_t{1} << 20;
constexpr unsigned most_probes = 16;
// The kernel's x86-64 signal restorer: mov $15,%rax; syscall.
constexpr unsigned char restorer_code[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};

static_assert(directory_size <= std::uint64_t{1} << cached::index_bits, "a cached rule holds any index");

// The full state, for the steps that need more than the four registers of
// an ordinary frame.
struct walk {
    state registers;
    checked_objects checked;
    std::uint64_t salt; // of the cache's keys in the directory's epoch
    // The object of the frame the walk is at, outside the loop over ordinary
    // frames, and its record.
    loaded_object object;
    std::uint32_t object_index = no_record;
    bool object_known = false;
    stack_range stack;     // the stack being read: from the stack pointer up to its top
    stack_range alternate; // this thread's alternate signal stack, once asked
    bool alternate_asked = false;
    bool alternate_known = false;
    bool extendable = false; // its top was proven by a probe that stopped at its limit
    unsigned probes = 0;
    bool exact_pc = false; // the pc is not a return address (a signal's): look it up as it is
    unsigned signal_frames = 0;
};

// The object holding an address, identified and checked; null where no
// loaded object holds it.
const loaded_object* find_object(walk& w, std::uintptr_t address) {
    if (w.object_known && w.object.contains(address)) return &w.object;
    w.object_known = identify_object(w.checked, address, w.object, w.object_index);
    return w.object_known ? &w.object : nullptr;
}

// The slow paths: the walk reads the stack beyond what it knows only where
// a probe proved it readable.
bool ask_alternate(walk& w) {
    if (!w.alternate_asked) {
        w.alternate_asked = true;
        w.alternate_known = alternate_signal_stack(w.alternate);
    }
    return w.alternate_known;
}

// A stack above sp proven by a probe, from the first page above it that can
// be read (the stack pointer of a stack that overflowed is below its
// mapping); false when nothing can be proven.
bool probe_stack(walk& w, std::uintptr_t sp, std::uintptr_t limit) {
    if (w.probes == most_probes) return false;
    ++w.probes;
    const std::uintptr_t start = readable_from(sp, limit);
    const std::uintptr_t end = start != 0 ? readable_end(start, limit) : 0;
    if (end == 0 || end < start + 8 || end - start < 8) return false;
    w.stack = stack_range{start, end};
    w.extendable = end == limit;
    return true;
}

// A walk that starts neither on this thread's stack nor on the main thread's.
__attribute__((noinline)) void start_elsewhere(walk& w, std::uintptr_t sp) {
    if (ask_alternate(w) && w.alternate.holds(sp, 8)) {
        w.stack = stack_range{sp, w.alternate.high};
        return;
    }
    if (probe_stack(w, sp, sp + probe_window)) return;
    // Nothing can be proven: the page the walk runs on is all it reads.
    w.stack = stack_range{sp, (sp | 4095) + 1};
}

// Further up a stack proven by probing, when a step needs it.
__attribute__((noinline)) bool extend_stack(walk& w) {
    if (!w.extendable || w.probes == most_probes) return false;
    ++w.probes;
    const std::uintptr_t high = w.stack.high;
    const std::uintptr_t end = readable_end(high, high + probe_window);
    w.extendable = end == high + probe_window;
    if (end == 0 || end <= high) return false;
    w.stack.high = end;
    return true;
}

// The stack a signal frame's saved stack pointer lands on.
bool enter_stack(walk& w, std::uintptr_t context, std::uintptr_t sp) {
    if (sp > context && w.stack.holds(sp, 8)) {
        w.stack.low = sp;
        return true;
    }
    if (ask_alternate(w) && w.alternate.holds(sp, 8)) {
        w.stack = stack_range{sp, w.alternate.high};
        w.extendable = false;
        return true;
    }
    stack_range known;
    if (known_thread_stack(sp, known)) {
        // A stack that overflowed is read from where it is mapped.
        w.extendable = false;
        if (w.probes < most_probes) {
            ++w.probes;
            const std::uintptr_t start = readable_from(sp, known.high);
            if (start != 0) known.low = start;
        }
        w.stack = known;
        return known.high - known.low >= 8;
    }
    return probe_stack(w, sp, sp + probe_window);
}

void load_ordinary_part(const state& s, frame_registers& r) {
    r.pc = s.value[state::rip];
    r.sp = s.value[state::rsp];
    r.bp = s.value[state::rbp];
    r.bx = s.value[state::rbx];
    r.bp_known = (s.known & bit(state::rbp)) != 0;
    r.bx_known = (s.known & bit(state::rbx)) != 0;
}

// After ordinary steps only these four registers are known.
void set_ordinary_part(state& s, const frame_registers& r) {
    s.value[state::rip] = r.pc;
    s.value[state::rsp] = r.sp;
    s.value[state::rbp] = r.bp;
    s.value[state::rbx] = r.bx;
    s.known =
        bit(state::rip) | bit(state::rsp) | (r.bp_known ? bit(state::rbp) : 0) | (r.bx_known ? bit(state::rbx) : 0);
}

// A signal frame is left only where its ucontext lies inside the stack
// being read and its saved stack pointer lands on a stack the walk knows or
// can prove.
bool leave_signal_frame(walk& w) {
    static constexpr int from_context[state::count] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                                                       REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                                       REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
    // The kernel's ucontext sits where the handler's return address was popped.
    const std::uintptr_t context = w.registers.value[state::rsp];
    if (++w.signal_frames > most_signal_frames || context % sizeof(void*) != 0) return false;
    // The handler may have run on the alternate stack, which the walk may
    // have taken for part of this thread's when it started.
    if (ask_alternate(w) && w.alternate.holds(context, 8)) w.stack = stack_range{context, w.alternate.high};
    const std::uintptr_t registers = context + offsetof(ucontext_t, uc_mcontext) + offsetof(mcontext_t, gregs);
    if (!w.stack.holds(context, registers - context + NGREG * 8)) return false;
    const auto saved = [registers](unsigned r) {
        return read_stack_word(registers + static_cast<std::uintptr_t>(from_context[r]) * 8);
    };
    const std::uintptr_t sp = saved(state::rsp);
    if (sp == 0 || sp % sizeof(void*) != 0 || !enter_stack(w, context, sp)) return false;
    for (unsigned r = 0; r < state::count; ++r) w.registers.value[r] = saved(r);
    w.registers.known = bit(state::count) - 1;
    w.exact_pc = true;
    return true;
}

std::uintptr_t low_bound(const walk& w, std::uintptr_t sp) { return w.stack.low > sp ? w.stack.low : sp; }

// Frames below the stack pointer are left behind.
void raise_floor(walk& w, std::uintptr_t sp) {
    if (sp > w.stack.low) w.stack.low = sp;
}

bool apply(walk& w, const packed_rule& rule) {
    if (rule.base == cfa_base::signal_frame) return leave_signal_frame(w);
    frame_registers r;
    load_ordinary_part(w.registers, r);
    if (!packed_step(r, low_bound(w, r.sp), w.stack.high, rule.word())) return false;
    set_ordinary_part(w.registers, r);
    w.exact_pc = false;
    return true;
}

// A return address the walk guessed: code of a loaded object, where a
// stack word of data or a pointer into the stack cannot be.
bool code_address(walk& w, std::uintptr_t pc) {
    if (pc < lowest_code) return false;
    const loaded_object* object = find_object(w, pc - 1);
    return object != nullptr && executable_code(*object, pc - 1, 1);
}

// The kernel's restorer, where a program put one without unwind information.
// The walk's object stays the one of the frame's lookup.
bool at_restorer(walk& w, const loaded_object* object) {
    const std::uintptr_t pc = w.registers.value[state::rip];
    loaded_object other;
    std::uint32_t index = no_record;
    if (object == nullptr || !object->contains(pc)) {
        if (!identify_object(w.checked, pc, other, index)) return false;
        object = &other;
    }
    return executable_code(*object, pc, sizeof restorer_code) &&
           std::memcmp(reinterpret_cast<const void*>(pc), restorer_code, sizeof restorer_code) == 0;
}

// Code without unwind information: a call through a null pointer left its
// return address on top of the stack; elsewhere the frame-pointer chain is
// followed while it leads to code.
bool step_without_description(walk& w) {
    packed_rule rule;
    rule.return_address = -1;
    if (w.exact_pc && w.registers.value[state::rip] < null_page) {
        rule.base = cfa_base::rsp;
        rule.offset = 8;
    } else {
        rule.base = cfa_base::rbp;
        rule.offset = 16;
        rule.rbp = -2;
    }
    // A step changes only the ordinary part; that alone is kept to undo it.
    frame_registers before;
    load_ordinary_part(w.registers, before);
    const std::uint32_t known = w.registers.known;
    if (apply(w, rule) && code_address(w, w.registers.value[state::rip])) return true;
    set_ordinary_part(w.registers, before);
    w.registers.known = known;
    return false;
}

// A step without a cached rule: the object's CFI, read and run; the rule is
// cached when it packs.
__attribute__((noinline)) bool described_step(walk& w, const loaded_object* object, std::uintptr_t lookup) {
    packed_rule rule;
    frame_description description;
    if (!w.exact_pc && at_restorer(w, object)) {
        rule.base = cfa_base::signal_frame;
    } else if (object == nullptr || !find_frame_description(*object, lookup, description)) {
        return step_without_description(w);
    } else if (description.signal_frame) {
        rule.base = cfa_base::signal_frame;
    } else {
        unwind_row row;
        if (description.return_address_register != state::rip || !row_at(description, lookup, row_registers, row))
            return false;
        if (!pack(row, rule)) {
            w.exact_pc = false;
            return apply_row(w.registers, row, w.stack.low, w.stack.high);
        }
    }
    std::uint64_t word = 0;
    if (object != nullptr && object->contains(lookup) && w.object_index != no_record &&
        cache_word(rule, w.object_index, word))
        cache_rule(lookup, w.salt, word);
    return rule.base != cfa_base::outermost && apply(w, rule);
}

// Where the walk writes.
struct output {
    void** out;
    std::uint64_t skip;
    std::uint32_t written;
    std::uint32_t wanted;

    void record(std::uintptr_t pc) {
        if (skip > 0)
            --skip;
        else
            out[written++] = reinterpret_cast<void*>(pc);
    }
};

// Where the loop over ordinary frames stopped: at a frame it has not written
// (no cached rule, or its object not checked in this walk yet: `unchecked`),
// at a frame it wrote but could not leave by a cached ordinary rule, or at
// the walk's end.
enum class stop { unwritten_frame, unchecked_object, written_frame, walk_over, skipped };

// What the loop over ordinary frames starts from and ends with, and what
// it reads, in one place: the loop keeps one pointer to it.
struct ordinary_loop {
    std::uintptr_t pc;
    std::uintptr_t sp;
    std::uintptr_t bp;
    std::uintptr_t bx;
    std::uint64_t skip;
    void** at;
    void** end;
    std::uintptr_t top;
    std::uint64_t salt;
    const checked_objects* checked;
    std::uint32_t unchecked;
    std::uintptr_t unchecked_at; // the return address of its frame
};

// Frames whose rules are cached, in objects this walk has checked: each
// frame's return address is written (or passed over, while `skipping`) once
// its rule is found, then the frame is left by that rule. At least one frame
// is still wanted.
template <bool skipping> __attribute__((always_inline)) inline stop run_loop(ordinary_loop& l) {
    std::uintptr_t pc = l.pc;
    std::uintptr_t sp = l.sp;
    std::uintptr_t bp = l.bp;
    std::uintptr_t bx = l.bx;
    std::uint64_t skip = l.skip;
    void** at = l.at;
    // Copied, as the writes through `at` might otherwise change them.
    void** const end = l.end;
    const std::uintptr_t top = l.top;
    const std::uint64_t salt = l.salt;
    const checked_objects& checked = *l.checked;
    stop result;
    for (;;) {
        const std::uintptr_t lookup = pc - 1;
        std::uint64_t word;
        if (!find_cached_rule(lookup, salt, word)) {
            result = stop::unwritten_frame;
            break;
        }
        if (!checked.has(cached_object(word))) {
            l.unchecked = cached_object(word);
            l.unchecked_at = pc;
            result = stop::unchecked_object;
            break;
        }
        if (skipping) {
            --skip;
        } else {
            *at++ = reinterpret_cast<void*>(pc);
            if (at == end) {
                result = stop::walk_over;
                break;
            }
        }
        if (!ordinary_step(pc, sp, bp, bx, top, word)) {
            result = stop::written_frame;
            break;
        }
        // A pc of 0 ends the walk where the next lookup misses.
        if (skipping && skip == 0) {
            result = stop::skipped;
            break;
        }
    }
    l.pc = pc;
    l.sp = sp;
    l.bp = bp;
    l.bx = bx;
    l.skip = skip;
    l.at = at;
    return result;
}

// The common case in a loop of its own, with every value it needs in a
// local variable and no call, so that the values stay in the processor's
// registers. rbp and rbx must be known and the stack pointer aligned, within
// the stack being read and above its first 4 KiB.
__attribute__((noinline)) stop run_ordinary_frames(ordinary_loop& l, checked_objects& checked) {
    for (;;) {
        stop result = stop::skipped;
        if (l.skip != 0) result = run_loop<true>(l);
        if (result == stop::skipped) result = run_loop<false>(l);
        // Each object is checked once a walk, then the loop goes on.
        if (result != stop::unchecked_object || !check_object(checked, l.unchecked, l.unchecked_at)) return result;
    }
}

} // namespace

std::uint32_t walk_x86_64(std::uintptr_t pc, std::uintptr_t sp, std::uintptr_t bp, std::uintptr_t bx, void** out,
                          std::uint64_t skip, std::uint32_t wanted) {
    // No walk writes that far.
    if (skip == ~std::uint64_t{0}) return 0;
    walk w;
    w.checked.begin();
    w.salt = w.checked.salt();
    if (!known_thread_stack(sp, w.stack)) start_elsewhere(w, sp);
    // Ordinary frames step on these four registers; the full state catches
    // up before any other step, and starts with just these four.
    frame_registers r{pc, sp, bp, bx, true, true};
    bool ordinary_steps = true;
    output to{out, skip, 0, wanted};
    // The frame the walk is at is written once its return address is found
    // in a loaded object; the first is the walk's own, never written.
    bool pending = false;
    // Each step raises the stack pointer or leaves one of a bounded number
    // of signal frames, so the walk ends.
    while (to.written < to.wanted) {
        if (!w.exact_pc && r.bp_known && r.bx_known && r.sp >= w.stack.low && r.sp >= null_page && r.sp % 8 == 0) {
            // A frame written already is passed over as one skipped.
            const bool written = !pending;
            if (written) ++to.skip;
            ordinary_loop l{
                r.pc,         r.sp,   r.bp,       r.bx,      to.skip, to.out + to.written, to.out + to.wanted,
                w.stack.high, w.salt, &w.checked, no_record, 0};
            const stop stopped = run_ordinary_frames(l, w.checked);
            const bool moved = l.sp != r.sp;
            r.pc = l.pc;
            r.sp = l.sp;
            r.bp = l.bp;
            r.bx = l.bx;
            to.skip = l.skip;
            to.written = static_cast<std::uint32_t>(l.at - to.out);
            if (stopped == stop::walk_over) break;
            if (written && !moved && stopped != stop::written_frame) --to.skip;
            pending = stopped != stop::written_frame && (moved || pending);
            if (moved) {
                ordinary_steps = true;
                raise_floor(w, r.sp);
            }
        }
        // Any other step, one frame at a time. A return address may be the
        // first byte after a function that ends in a call; the call itself
        // is one byte back.
        const std::uintptr_t lookup = w.exact_pc ? r.pc : r.pc - 1;
        const loaded_object* object = find_object(w, lookup);
        if (pending) {
            // A return address outside the code of any loaded object is a
            // stack word, as where a step through _Unwind_RaiseException's
            // install of a handler lands in its caller's data (where a signal
            // interrupted code, it is the kernel's word).
            if (!w.exact_pc && (object == nullptr || !executable_code(*object, lookup, 1))) break;
            to.record(r.pc);
            pending = false;
        }
        // The last frame wanted is left too, so that its rule is cached and
        // the next walk writes it from the loop over ordinary frames.
        std::uint64_t word = 0;
        const bool cached = object != nullptr && w.object_index != no_record &&
                            find_cached_rule(lookup, w.salt, word) && cached_object(word) == w.object_index;
        const packed_rule rule = cached ? cached_rule(word) : packed_rule{};
        if (cached && packed_step(r, low_bound(w, r.sp), w.stack.high, rule.word())) {
            w.exact_pc = false;
            ordinary_steps = true;
            raise_floor(w, r.sp);
        } else {
            if (ordinary_steps) set_ordinary_part(w.registers, r);
            ordinary_steps = false;
            const bool stepped = cached ? rule.base == cfa_base::signal_frame && leave_signal_frame(w)
                                        : described_step(w, object, lookup);
            if (!stepped) {
                // Where the stack was proven by probing, the step may need
                // more of it.
                if (to.written == to.wanted || !extend_stack(w)) break;
                load_ordinary_part(w.registers, r);
                continue;
            }
            load_ordinary_part(w.registers, r);
            if (!w.exact_pc) raise_floor(w, r.sp);
        }
        if (r.pc == 0 && !w.exact_pc) break;
        pending = true;
    }
    return to.written;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
