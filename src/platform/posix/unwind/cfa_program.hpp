#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_CFA_PROGRAM_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_CFA_PROGRAM_HPP

#include "platform/posix/unwind/eh_frame.hpp"

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

enum class rule_kind : std::uint8_t {
    same_value,
    undefined,
    offset,
    val_offset,
    in_register,
    expression,
    val_expression
};

// How the caller's value of one register is found. Expressions point at
// their uleb128 length, as they stand in the program.
struct register_rule {
    const std::uint8_t* expression = nullptr;
    std::int32_t value = 0; // the offset from the CFA, or the register
    rule_kind kind = rule_kind::same_value;
};

struct cfa_rule {
    const std::uint8_t* expression = nullptr; // when set, the CFA is its value
    std::int32_t offset = 0;
    std::uint16_t base = 0; // the register the offset is added to
};

// The walk follows few registers: the row keeps rules for those alone, so
// that running a program takes little stack.
constexpr unsigned tracked_registers = 4;

struct tracked_set {
    std::uint16_t number[tracked_registers];
};

struct unwind_row {
    cfa_rule cfa;
    register_rule rules[tracked_registers];
};

// Signal-safe: runs the CIE's program, then the FDE's up to pc, on the stack
// alone (a few hundred bytes). False for a program it cannot follow.
bool row_at(const frame_description& description, std::uintptr_t pc, const tracked_set& tracked, unwind_row& row);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
