#ifndef KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_DWARF_UNIT_HPP
#define KORVO_CALLTRAIL_POSIX_DEBUG_ENGINE_DWARF_UNIT_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "dwarf_cursor.hpp"
#include "section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// The debug sections of one object that line lookups read; any may be null.
struct dwarf_sections {
    std::unique_ptr<section_data> info;
    std::unique_ptr<section_data> abbrev;
    std::unique_ptr<section_data> line;
    std::unique_ptr<section_data> str;
    std::unique_ptr<section_data> line_str;
    std::unique_ptr<section_data> str_offsets;
    std::unique_ptr<section_data> addr;
    std::unique_ptr<section_data> ranges;
    std::unique_ptr<section_data> rnglists;
    std::unique_ptr<section_data> aranges;
};

struct unit_header {
    std::size_t offset = 0;
    std::size_t end = 0;
    std::size_t first_entry = 0;
    std::uint64_t abbrev_offset = 0;
    std::uint16_t version = 0;
    std::uint8_t unit_type = 0;
    std::uint8_t address_size = 0;
    bool offset64 = false;
};

// False for a truncated or unknown header; `header.end` is still set when the
// length could be read, so a walk can step over a unit it does not know.
bool read_unit_header(section_data* info, std::size_t offset, unit_header& header);

struct attribute_layout {
    std::uint32_t name;
    std::uint32_t form;
    std::int64_t implicit_value;
};

struct abbreviation {
    std::uint64_t code = 0;
    std::uint32_t tag = 0;
    bool has_children = false;
    std::uint32_t first_layout = 0;
    std::uint32_t layout_count = 0;
};

class abbreviation_table {
public:
    bool read(section_data* abbrev, std::uint64_t offset);
    const abbreviation* find(std::uint64_t code) const noexcept;
    const attribute_layout* layouts(const abbreviation& a) const noexcept { return layouts_.data() + a.first_layout; }

private:
    std::vector<abbreviation> entries_;
    std::vector<attribute_layout> layouts_;
    bool dense_ = true;
};

// One attribute as stored: `value` holds the number, offset, index or
// address; `inline_string` the text of DW_FORM_string.
struct attribute_value {
    std::uint32_t form = 0;
    std::uint64_t value = 0;
    const char* inline_string = nullptr;
};

bool read_attribute(dwarf_cursor& cursor, std::uint32_t form, std::int64_t implicit_value, const unit_header& unit,
                    attribute_value& out);

// What a unit's root entry says that the reading of its other entries needs.
struct unit_context {
    const unit_header* header = nullptr;
    dwarf_sections* sections = nullptr;
    std::uint64_t str_offsets_base = 0;
    std::uint64_t addr_base = 0;
    std::uint64_t rnglists_base = 0;
    std::uint64_t base_address = 0;
    bool has_str_offsets_base = false;
    bool has_addr_base = false;
    bool has_rnglists_base = false;
};

bool is_address_form(std::uint32_t form) noexcept;
bool is_constant_form(std::uint32_t form) noexcept;
bool attribute_address(const unit_context& unit, const attribute_value& v, std::uint64_t& address);
bool attribute_constant(const attribute_value& v, std::uint64_t& value) noexcept;
const char* attribute_string(const unit_context& unit, const attribute_value& v);

// Calls add(low, high) for each range of a DW_AT_ranges value.
template <typename Add> bool for_each_range(const unit_context& unit, const attribute_value& v, Add&& add);

// The address ranges of an entry given its low_pc, high_pc and ranges
// attributes; `have_*` tell which were present.
struct pc_attributes {
    attribute_value low;
    attribute_value high;
    attribute_value ranges;
    bool have_low = false;
    bool have_high = false;
    bool have_ranges = false;
};

template <typename Add> bool for_each_pc_range(const unit_context& unit, const pc_attributes& pc, Add&& add) {
    if (pc.have_ranges) return for_each_range(unit, pc.ranges, add);
    if (!pc.have_low || !pc.have_high) return false;
    std::uint64_t low = 0;
    if (!attribute_address(unit, pc.low, low)) return false;
    std::uint64_t high = 0;
    if (is_address_form(pc.high.form)) {
        if (!attribute_address(unit, pc.high, high)) return false;
    } else {
        std::uint64_t length = 0;
        if (!attribute_constant(pc.high, length)) return false;
        high = low + length;
    }
    if (high > low) add(low, high);
    return true;
}

// Range lists are read through a callback so that no list is materialised.
bool read_range_list(const unit_context& unit, const attribute_value& v,
                     void (*add)(void*, std::uint64_t, std::uint64_t), void* state);

template <typename Add> bool for_each_range(const unit_context& unit, const attribute_value& v, Add&& add) {
    auto trampoline = [](void* state, std::uint64_t low, std::uint64_t high) {
        (*static_cast<typename std::remove_reference<Add>::type*>(state))(low, high);
    };
    return read_range_list(unit, v, trampoline, &add);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
