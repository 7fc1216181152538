#if defined(__x86_64__)

#include "platform/posix/unwind/x86_64_row.hpp"

#include "platform/posix/unwind/dwarf_expression.hpp"
#include "platform/posix/unwind/stack_memory.hpp"

#include <initializer_list>

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

using state = machine_state;

enum : unsigned { tracked_rbx, tracked_rbp, tracked_rsp, tracked_return_address };

constexpr std::uint32_t bit(unsigned number) { return std::uint32_t{1} << number; }

// A register's rule as a frame slot, when it is one.
bool pack_slot(const register_rule& rule, std::int8_t& slot) {
    if (rule.kind == rule_kind::same_value || rule.kind == rule_kind::undefined) {
        slot = rule.kind == rule_kind::same_value ? keep : lost;
        return true;
    }
    if (rule.kind != rule_kind::offset || rule.value % 8 != 0 || rule.value / 8 <= lost || rule.value / 8 >= keep)
        return false;
    slot = static_cast<std::int8_t>(rule.value / 8);
    return true;
}

// A stack slot the row names: inside the frame being left or just above it.
bool read_within(const expression_context& context, std::uintptr_t address, std::uintptr_t& value) {
    if (address < context.readable_low || address >= context.readable_high || context.readable_high - address < 8 ||
        address % 8 != 0)
        return false;
    value = read_stack_word(address);
    return true;
}

// The caller's value of one register.
bool caller_value(const state& s, const expression_context& context, std::uintptr_t cfa, const register_rule& rule,
                  unsigned number, std::uintptr_t& value) {
    std::uintptr_t address = 0;
    const auto offset = static_cast<std::uintptr_t>(std::intptr_t{rule.value});
    switch (rule.kind) {
    case rule_kind::same_value:
        value = s.value[number];
        return (s.known & bit(number)) != 0;
    case rule_kind::undefined:
        return false;
    case rule_kind::offset:
        // Below the stack pointer: popped already, in an epilogue.
        if (cfa + offset < s.value[state::rsp] && number != state::rip) {
            value = s.value[number];
            return (s.known & bit(number)) != 0;
        }
        return read_within(context, cfa + offset, value);
    case rule_kind::val_offset:
        value = cfa + offset;
        return true;
    case rule_kind::in_register:
        if (offset >= state::count || (s.known & bit(static_cast<unsigned>(offset))) == 0) return false;
        value = s.value[offset];
        return true;
    case rule_kind::expression:
        return evaluate(rule.expression, context, &cfa, address) && read_within(context, address, value);
    case rule_kind::val_expression:
        return evaluate(rule.expression, context, &cfa, value);
    }
    return false;
}

bool row_cfa(const state& s, const expression_context& context, const cfa_rule& rule, std::uintptr_t& cfa) {
    if (rule.expression != nullptr) return evaluate(rule.expression, context, nullptr, cfa);
    if (rule.base >= state::count || (s.known & bit(rule.base)) == 0) return false;
    cfa = s.value[rule.base] + static_cast<std::uintptr_t>(std::intptr_t{rule.offset});
    return true;
}

} // namespace

bool pack(const unwind_row& row, packed_rule& rule) {
    if (row.cfa.expression != nullptr) return false;
    switch (row.cfa.base) {
    case state::rsp:
        rule.base = cfa_base::rsp;
        break;
    case state::rbp:
        rule.base = cfa_base::rbp;
        break;
    case state::rbx:
        rule.base = cfa_base::rbx;
        break;
    default:
        return false;
    }
    rule.offset = row.cfa.offset;
    const register_rule& return_address = row.rules[tracked_return_address];
    // No return address: the outermost frame, as _start and thread starts say.
    if (return_address.kind == rule_kind::undefined || return_address.kind == rule_kind::same_value) {
        rule.base = cfa_base::outermost;
        return true;
    }
    return return_address.kind == rule_kind::offset && row.rules[tracked_rsp].kind == rule_kind::same_value &&
           pack_slot(return_address, rule.return_address) && pack_slot(row.rules[tracked_rbp], rule.rbp) &&
           pack_slot(row.rules[tracked_rbx], rule.rbx);
}

bool apply_row(state& s, const unwind_row& row, std::uintptr_t low, std::uintptr_t top) {
    const std::uintptr_t sp = s.value[state::rsp];
    const expression_context context{s.value, s.known, state::count, low > sp ? low : sp, top};
    std::uintptr_t cfa = 0;
    if (!row_cfa(s, context, row.cfa, cfa)) return false;
    // The caller's stack pointer is the CFA, unless a rule says where it is
    // (longjmp's, whose CFA is the jump buffer); then only what is read at
    // the CFA must lie in the stack.
    std::uintptr_t caller_sp = cfa;
    const register_rule& sp_rule = row.rules[tracked_rsp];
    if (sp_rule.kind != rule_kind::same_value && !caller_value(s, context, cfa, sp_rule, state::rsp, caller_sp))
        return false;
    // A signal may land where the return address is in a register and the
    // stack pointer already the caller's: every register is known there.
    const bool all_known = (s.known & (bit(state::count) - 1)) == bit(state::count) - 1;
    if (caller_sp < sp || (caller_sp == sp && !all_known) || caller_sp > top || caller_sp % 8 != 0) return false;
    const register_rule& return_address = row.rules[tracked_return_address];
    std::uintptr_t values[tracked_registers] = {};
    if (return_address.kind == rule_kind::same_value ||
        !caller_value(s, context, cfa, return_address, state::rip, values[tracked_return_address]))
        return false;
    std::uint32_t known = bit(state::rip) | bit(state::rsp);
    for (const unsigned slot : {tracked_rbx, tracked_rbp}) {
        const unsigned number = row_registers.number[slot];
        if (caller_value(s, context, cfa, row.rules[slot], number, values[slot])) known |= bit(number);
    }
    s.value[state::rip] = values[tracked_return_address];
    s.value[state::rbx] = values[tracked_rbx];
    s.value[state::rbp] = values[tracked_rbp];
    s.value[state::rsp] = caller_sp;
    s.known = known;
    return true;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
