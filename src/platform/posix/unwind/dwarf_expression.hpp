#ifndef KORVO_CALLTRAIL_POSIX_UNWIND_DWARF_EXPRESSION_HPP
#define KORVO_CALLTRAIL_POSIX_UNWIND_DWARF_EXPRESSION_HPP

#include <cstdint>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

// What an expression may read: the registers the walk knows, and memory only
// inside [readable_low, readable_high), the part of the stack the frame can
// hold, so that a damaged stack cannot send a read anywhere.
struct expression_context {
    const std::uintptr_t* registers;
    std::uint32_t known; // bit n: register n holds its value
    unsigned register_count;
    std::uintptr_t readable_low;
    std::uintptr_t readable_high;
};

// Signal-safe: evaluates the DWARF expression at `block` (its uleb128 length,
// then its operations), with `initial` pushed first when given, as CFA
// register rules need. False for an operation it does not know, an unknown
// register or a read outside the readable range.
bool evaluate(const std::uint8_t* block, const expression_context& context, const std::uintptr_t* initial,
              std::uintptr_t& result);

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo

#endif
