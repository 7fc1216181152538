// The x86-64 walk over DWARF CFI. Signal-safe throughout: it takes no lock,
// allocates nothing, keeps no thread-local state, and reads only the objects'
// unwind tables and the stack slots that pass its checks.

#if defined(__x86_64__)

#include "platform/posix/unwind/x86_64_walk.hpp"

#include "platform/posix/unwind/cfa_program.hpp"
#include "platform/posix/unwind/eh_frame.hpp"
#include "platform/posix/unwind/loaded_object.hpp"
#include "platform/posix/unwind/rule_cache.hpp"
#include "platform/posix/unwind/x86_64_packed_rule.hpp"
#include "platform/posix/unwind/x86_64_row.hpp"

#include <sys/ucontext.h>

#include <cstddef>

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

// Objects met during one walk: frames of a live stack keep their objects
// loaded, so each is looked up and fingerprinted once per walk.
struct object_memo {
    static constexpr unsigned size = 4;
    loaded_object objects[size];
    unsigned count = 0;
    unsigned next = 0;

    // An object this walk has met already; null for one it has not.
    const loaded_object* known(std::uintptr_t address) const {
        if (this_library.contains(address)) return &this_library;
        for (unsigned i = 0; i < count; ++i)
            if (objects[i].contains(address)) return &objects[i];
        return nullptr;
    }

    const loaded_object* find(std::uintptr_t address) {
        if (const loaded_object* met = known(address)) return met;
        loaded_object& kept = objects[count < size ? count : next % size];
        if (!find_loaded_object(address, kept)) return nullptr;
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
    bool exact_pc = true; // the pc is not a return address: look it up as it is
    unsigned signal_frames = 0;
};

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

bool leave_signal_frame(walk& w) {
    static constexpr int from_context[state::count] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                                                       REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                                       REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
    // The kernel's ucontext sits where the handler's return address was popped.
    const std::uintptr_t context = w.registers.value[state::rsp];
    if (++w.signal_frames > most_signal_frames || context % sizeof(void*) != 0) return false;
    const std::uintptr_t registers = context + offsetof(ucontext_t, uc_mcontext) + offsetof(mcontext_t, gregs);
    for (unsigned r = 0; r < state::count; ++r)
        w.registers.value[r] = read_stack_word(registers + static_cast<std::uintptr_t>(from_context[r]) * 8);
    w.registers.known = bit(state::count) - 1;
    w.exact_pc = true;
    const std::uintptr_t sp = w.registers.value[state::rsp];
    return sp != 0 && sp % sizeof(void*) == 0;
}

bool apply(walk& w, const packed_rule& rule) {
    if (rule.base == cfa_base::signal_frame) return leave_signal_frame(w);
    frame_registers r;
    load_ordinary_part(w.registers, r);
    if (!packed_step(r, rule.word())) return false;
    set_ordinary_part(w.registers, r);
    w.exact_pc = false;
    return true;
}

// Code without unwind information: a call through a null pointer left its
// return address on top of the stack; elsewhere the frame-pointer chain is
// followed while it stays plausible.
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
    return apply(w, rule);
}

// A step without a cached rule: the object's CFI, read and run; the rule is
// cached when it packs and the object has a fingerprint.
__attribute__((noinline)) bool described_step(walk& w, const loaded_object* object, std::uintptr_t lookup) {
    frame_description description;
    if (object == nullptr || !find_frame_description(*object, lookup, description)) return step_without_description(w);
    packed_rule rule;
    if (description.signal_frame) {
        rule.base = cfa_base::signal_frame;
    } else {
        unwind_row row;
        if (description.return_address_register != state::rip || !row_at(description, lookup, row_registers, row))
            return false;
        if (!pack(row, rule)) {
            w.exact_pc = false;
            return apply_row(w.registers, row);
        }
    }
    if (object->fingerprint != 0) cache_rule(lookup, object->fingerprint, rule.word());
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
    std::uint64_t fingerprint;

    explicit current_object(const loaded_object* o)
        : object(o), start(o->start), size(o->end - o->start), fingerprint(o->fingerprint) {}
};

// One step by a cached rule, into an object met before; false when the
// frame needs more.
__attribute__((always_inline)) inline bool ordinary_step(frame_registers& r, current_object& in,
                                                         const object_memo& objects) {
    const std::uintptr_t lookup = r.pc - 1;
    if (lookup - in.start >= in.size) {
        const loaded_object* next = objects.known(lookup);
        if (next == nullptr || next->fingerprint == 0) return false;
        in = current_object(next);
    }
    std::uint64_t word = 0;
    return find_cached_rule(lookup, in.fingerprint, word) && packed_step(r, word);
}

// The common case in a loop of its own, with every value it needs in a local
// variable: frames in objects met before whose rules are cached. Returns at
// the first frame that needs more (an object not met yet, no cached rule, a
// signal frame) or when the walk is over; false when it is over. Frames to
// pass over and frames to write have loops of their own, so that the second
// keeps few values.
__attribute__((noinline)) bool run_ordinary_frames(frame_registers& registers, const object_memo& objects,
                                                   const loaded_object*& object, output& to) {
    frame_registers r = registers;
    current_object in(object);
    bool more = true;
    bool stopped = false;
    std::uint64_t skip = to.skip;
    while (skip > 0 && !stopped) {
        stopped = !ordinary_step(r, in, objects);
        if (!stopped) {
            more = r.pc != 0;
            stopped = !more;
            skip -= more ? 1 : 0;
        }
    }
    void** at = to.out + to.written;
    void** const end = to.out + to.wanted;
    while (at < end && !stopped && ordinary_step(r, in, objects)) {
        if (r.pc == 0) {
            more = false;
            break;
        }
        *at++ = reinterpret_cast<void*>(r.pc);
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
    // Ordinary frames step on these four registers; the full state catches
    // up before any other step, and starts with just these four.
    frame_registers r{pc, sp, bp, bx, true, true};
    bool ordinary_steps = true;
    output to{out, skip, 0, wanted};
    const loaded_object* object = nullptr;
    // Each step raises the stack pointer or leaves one of a bounded number
    // of signal frames, so the walk ends.
    while (to.written < to.wanted) {
        // A return address may be the first byte after a function that ends
        // in a call; the call itself is one byte back.
        const std::uintptr_t lookup = w.exact_pc ? r.pc : r.pc - 1;
        if (object == nullptr || !object->contains(lookup)) object = w.objects.find(lookup);
        std::uint64_t word = 0;
        const bool cached =
            object != nullptr && object->fingerprint != 0 && find_cached_rule(lookup, object->fingerprint, word);
        if (cached && packed_step(r, word)) {
            w.exact_pc = false;
            ordinary_steps = true;
        } else {
            if (ordinary_steps) set_ordinary_part(w.registers, r);
            ordinary_steps = false;
            const bool stepped =
                cached ? static_cast<cfa_base>(word >> 56) == cfa_base::signal_frame && leave_signal_frame(w)
                       : described_step(w, object, lookup);
            if (!stepped) break;
            load_ordinary_part(w.registers, r);
        }
        if (r.pc == 0 && !w.exact_pc) break;
        to.record(r.pc);
        if (w.exact_pc || object == nullptr || object->fingerprint == 0) continue;
        // Runs on through the frames the cache knows; the full state is
        // then behind.
        const std::uintptr_t before = r.sp;
        if (!run_ordinary_frames(r, w.objects, object, to)) break;
        ordinary_steps = ordinary_steps || r.sp != before;
    }
    return to.written;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
