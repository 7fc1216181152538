#ifndef KORVO_CALLTRAIL_POSIX_DWARF_PC_RANGES_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_PC_RANGES_HPP

// The code an entry covers: DW_AT_low_pc with DW_AT_high_pc, or DW_AT_ranges
// naming a range list of any version.

#include <cstdint>
#include <type_traits>

#include "platform/posix/dwarf/attributes.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct pc_attributes {
    attribute_value low;
    attribute_value high;
    attribute_value ranges;
    bool have_low = false;
    bool have_high = false;
    bool have_ranges = false;

    // Keeps the attribute if it is one of the three; false otherwise.
    bool take(std::uint32_t name, const attribute_value& value) noexcept;
};

// Range lists are read through a callback so that no list is materialised.
using range_sink = void (*)(void* state, std::uint64_t low, std::uint64_t high);

bool read_pc_ranges(const unit_context& unit, const pc_attributes& pc, range_sink add, void* state);

// Calls add(low, high) for each non-empty range the entry covers; false when
// the attributes are missing or their list cannot be read.
template <typename Add> bool for_each_pc_range(const unit_context& unit, const pc_attributes& pc, Add&& add) {
    auto trampoline = [](void* state, std::uint64_t low, std::uint64_t high) {
        (*static_cast<typename std::remove_reference<Add>::type*>(state))(low, high);
    };
    return read_pc_ranges(unit, pc, trampoline, &add);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
