#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_ROW_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_X86_64_ROW_HPP

#include "platform/posix/unwind/cfa_program.hpp"
#include "platform/posix/unwind/x86_64_packed_rule.hpp"
#include "platform/posix/unwind/x86_64_registers.hpp"

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// The registers whose rules the walk follows: rbx and rbp, which CFAs are
// counted from, rsp where it is not the CFA (longjmp), and the return
// address.
constexpr tracked_set row_registers = {
    {machine_state::rbx, machine_state::rbp, machine_state::rsp, machine_state::rip}};

// The row as a packed rule, when it is one. Signal-safe.
bool pack(const unwind_row& row, packed_rule& rule);

// Steps to the caller by a row that no packed rule holds: CFA expressions
// (PLT entries, functions that realign the stack), registers kept in other
// registers. Signal-safe; false, with the state unchanged, when a value it
// needs is unknown or a read would leave [low, top), the readable stack. The
// caller's stack pointer must be above this frame's, or where every register
// is known (the frame a signal interrupted) at least not below it.
bool apply_row(machine_state& registers, const unwind_row& row, std::uintptr_t low, std::uintptr_t top);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
