// The x86-64 walk over DWARF CFI. Signal-safe throughout: it takes no lock,
// allocates nothing, keeps no thread-local state, and reads only the objects'
// unwind tables and the stack slots that pass its checks.

#if defined(__x86_64__)

#include "platform/posix/unwind/x86_64_walk.hpp"

#include "platform/posix/unwind/cfa_program.hpp"
#include "platform/posix/unwind/eh_frame.hpp"
#include "platform/posix/unwind/loaded_object.hpp"
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

// Objects met during one walk: frames of a live stack keep their objects
// loaded, so each is looked up and fingerprinted once per walk.
struct object_memo {
    // As many as a stack that cycles through a dozen libraries meets.
    static constexpr unsigned size = 16;
    loaded_object objects[size];
    unsigned count = 0;
    unsigned next = 0;
    // Where the object of each 4 KiB of code, by the address's low bits, was
    // found last: the memo's slot, or most_permanent_objects past it for a
    // permanent object.
    mutable std::uint8_t hints[16] = {};

    const loaded_object* slot(unsigned hint) const {
        return hint < size ? (hint < count ? &objects[hint] : nullptr)
                           : (hint - size < permanent_object_count ? &permanent_objects[hint - size] : nullptr);
    }

    // An object this walk has met already; null for one it has not. Out of
    // line, so that the loop over ordinary frames keeps its registers.
    __attribute__((noinline)) const loaded_object* known(std::uintptr_t address) const {
        std::uint8_t& hint = hints[(address >> 12) & 15];
        const loaded_object* hinted = slot(hint);
        if (hinted != nullptr && hinted->contains(address)) return hinted;
        for (unsigned i = 0; i < permanent_object_count; ++i) {
            if (permanent_objects[i].contains(address)) {
                hint = static_cast<std::uint8_t>(size + i);
                return &permanent_objects[i];
            }
        }
        for (unsigned i = 0; i < count; ++i) {
            if (objects[i].contains(address)) {
                hint = static_cast<std::uint8_t>(i);
                return &objects[i];
            }
        }
        return nullptr;
    }

    const loaded_object* find(std::uintptr_t address) {
        if (const loaded_object* met = known(address)) return met;
        loaded_object& kept = objects[count < size ? count : next % size];
        if (!find_loaded_object(address, kept)) {
            // A slot half filled must not be met again.
            kept.start = kept.end = 0;
            return nullptr;
        }
        if (count < size)
            ++count;
        else
            ++next;
        return &kept;
    }
};

// The full state, for the steps that need more than the four registers of
// an ordinary frame.
struct walk {
    state registers;
    object_memo objects;
    stack_range stack;     // the stack being read: from the stack pointer up to its top
    stack_range alternate; // this thread's alternate signal stack, once asked
    bool alternate_asked = false;
    bool alternate_known = false;
    bool extendable = false; // its top was proven by a probe that stopped at its limit
    unsigned probes = 0;
    bool exact_pc = true; // the pc is not a return address: look it up as it is
    unsigned signal_frames = 0;
};

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
    const loaded_object* object = w.objects.find(pc - 1);
    return object != nullptr && executable_code(*object, pc - 1, 1);
}

// The kernel's restorer, where a program put one without unwind information.
bool at_restorer(walk& w, const loaded_object* object) {
    const std::uintptr_t pc = w.registers.value[state::rip];
    if (object == nullptr || !object->contains(pc)) object = w.objects.find(pc);
    return object != nullptr && executable_code(*object, pc, sizeof restorer_code) &&
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
    if (object != nullptr && object->contains(lookup)) cache_rule(lookup, object_key(object->fingerprint), rule.word());
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

// The object the ordinary steps are in, as they need it.
struct current_object {
    const loaded_object* object;
    std::uintptr_t start;
    std::uintptr_t size;
    std::uint64_t key;

    explicit current_object(const loaded_object* o)
        : object(o), start(o->start), size(o->end - o->start), key(object_key(o->fingerprint)) {}
};

// The common case in a loop of its own, with every value it needs in a local
// variable: frames in objects met before whose rules are cached. Each
// frame's return address is written once it is found in a known object, as
// code; then the frame is left by its cached rule. Returns at the first
// frame that needs more (an object not met yet, with its return address not
// written, `pending`; no cached rule; a signal frame) or when the walk is
// over; false when it is over.
__attribute__((noinline)) bool run_ordinary_frames(frame_registers& registers, const object_memo& objects,
                                                   const loaded_object*& object, output& to, std::uintptr_t top,
                                                   bool& pending) {
    frame_registers r = registers;
    current_object in(object);
    bool more = true;
    std::uint64_t skip = to.skip;
    void** at = to.out + to.written;
    void** const end = to.out + to.wanted;
    for (;;) {
        const std::uintptr_t lookup = r.pc - 1;
        if (lookup - in.start >= in.size) {
            const loaded_object* next = objects.known(lookup);
            if (next == nullptr) break;
            in = current_object(next);
        }
        if (skip > 0) {
            --skip;
        } else if (at == end) {
            more = false;
            break;
        } else {
            *at++ = reinterpret_cast<void*>(r.pc);
        }
        pending = false;
        std::uint64_t word = 0;
        // Frames run upwards from a stack pointer that was readable.
        if (!find_cached_rule(lookup, in.key, word) || !packed_step(r, r.sp, top, word)) break;
        pending = true;
        if (r.pc == 0) {
            more = false;
            break;
        }
    }
    registers = r;
    object = in.object;
    to.skip = skip;
    to.written = static_cast<std::uint32_t>(at - to.out);
    return more;
}

} // namespace

std::uint32_t walk_x86_64(std::uintptr_t pc, std::uintptr_t sp, std::uintptr_t bp, std::uintptr_t bx, void** out,
                          std::uint64_t skip, std::uint32_t wanted) {
    walk w;
    if (!known_thread_stack(sp, w.stack)) start_elsewhere(w, sp);
    // Ordinary frames step on these four registers; the full state catches
    // up before any other step, and starts with just these four.
    frame_registers r{pc, sp, bp, bx, true, true};
    bool ordinary_steps = true;
    output to{out, skip, 0, wanted};
    const loaded_object* object = nullptr;
    // The frame the walk is at is written once its return address is found
    // to be code; the first is the walk's own, never written.
    bool pending = false;
    // Each step raises the stack pointer or leaves one of a bounded number
    // of signal frames, so the walk ends.
    while (to.written < to.wanted) {
        // A return address may be the first byte after a function that ends
        // in a call; the call itself is one byte back.
        const std::uintptr_t lookup = w.exact_pc ? r.pc : r.pc - 1;
        if (object == nullptr || !object->contains(lookup)) object = w.objects.find(lookup);
        if (pending) {
            // A return address in no loaded object is a stack word, not code
            // (where a signal interrupted code, it is the kernel's word).
            if (object == nullptr && !w.exact_pc) break;
            to.record(r.pc);
            pending = false;
            if (to.written == to.wanted) break;
        }
        std::uint64_t word = 0;
        const bool cached = object != nullptr && find_cached_rule(lookup, object_key(object->fingerprint), word);
        if (cached && packed_step(r, low_bound(w, r.sp), w.stack.high, word)) {
            w.exact_pc = false;
            ordinary_steps = true;
            raise_floor(w, r.sp);
        } else {
            if (ordinary_steps) set_ordinary_part(w.registers, r);
            ordinary_steps = false;
            const bool stepped =
                cached ? static_cast<cfa_base>(word >> 56) == cfa_base::signal_frame && leave_signal_frame(w)
                       : described_step(w, object, lookup);
            if (!stepped) {
                // Where the stack was proven by probing, the step may need
                // more of it.
                if (!extend_stack(w)) break;
                load_ordinary_part(w.registers, r);
                continue;
            }
            load_ordinary_part(w.registers, r);
            if (!w.exact_pc) raise_floor(w, r.sp);
        }
        if (r.pc == 0 && !w.exact_pc) break;
        pending = true;
        if (w.exact_pc || r.sp < w.stack.low) continue;
        // Runs on through the frames the cache knows; the full state is
        // then behind.
        const loaded_object* known = w.objects.known(r.pc - 1);
        if (known == nullptr) continue;
        object = known;
        const std::uintptr_t before = r.sp;
        const bool more = run_ordinary_frames(r, w.objects, object, to, w.stack.high, pending);
        raise_floor(w, r.sp);
        if (!more) break;
        ordinary_steps = ordinary_steps || r.sp != before;
    }
    return to.written;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
