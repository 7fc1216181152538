#ifndef KORVO_CALLTRAIL_POSIX_DWARF_ATTRIBUTES_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_ATTRIBUTES_HPP

// Attribute values as stored in each form, and what they mean once the
// unit's bases (string offsets, addresses) are known.

#include <cstdint>

#include "platform/posix/dwarf/abbreviation_table.hpp"
#include "platform/posix/dwarf/dwarf_cursor.hpp"
#include "platform/posix/dwarf/dwarf_sections.hpp"
#include "platform/posix/dwarf/unit_header.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// One attribute as stored: `value` holds the number, offset, index or
// address; `inline_string` the text of DW_FORM_string.
struct attribute_value {
    std::uint32_t form = 0;
    std::uint64_t value = 0;
    const char* inline_string = nullptr;
};

bool read_attribute(dwarf_cursor& cursor, std::uint32_t form, std::int64_t implicit_value, const unit_header& unit,
                    attribute_value& out);

// How a form's size is known without reading it: a number of bytes, the
// unit's address or offset size, or the size of a reference to another
// unit; or only by reading it.
enum class form_size { bytes, address, offset, reference, variable };
form_size size_of_form(std::uint32_t form, unsigned& bytes) noexcept;

// Moves past the attributes of an entry, reading none it need not. False
// exactly where reading them one by one would fail.
bool skip_entry(dwarf_cursor& cursor, const abbreviation& entry, const attribute_layout* layouts,
                const unit_header& unit);

// What a unit's root entry says that the reading of its other entries needs.
struct unit_context {
    const unit_header* header = nullptr;
    dwarf_sections* sections = nullptr;
    // A split unit's skeleton's: the sections that hold addresses stayed
    // with the linked object, .debug_addr and (DWARF 4) .debug_ranges.
    dwarf_sections* skeleton_sections = nullptr;
    // Where the unit's entries of each DWARF 5 table start (once settled),
    // or where the GNU split DWARF 4 forms count from.
    std::uint64_t str_offsets_base = 0;
    std::uint64_t addr_base = 0;
    std::uint64_t rnglists_base = 0;
    // Added to a range list's section offset: a split unit's lists count
    // from its own part of the section.
    std::uint64_t ranges_base = 0;
    std::uint64_t base_address = 0;
    bool has_str_offsets_base = false;
    bool has_addr_base = false;
    bool has_rnglists_base = false;

    dwarf_sections& relocated_sections() const noexcept {
        return skeleton_sections != nullptr ? *skeleton_sections : *sections;
    }
};

// Gives a DWARF 5 unit that has no base attribute for a table the base its
// entries then refer to: past the header of the table's first contribution.
void settle_list_bases(unit_context& unit);

bool is_address_form(std::uint32_t form) noexcept;
bool attribute_address(const unit_context& unit, const attribute_value& v, std::uint64_t& address);
bool attribute_constant(const attribute_value& v, std::uint64_t& value) noexcept;
const char* attribute_string(const unit_context& unit, const attribute_value& v);
// The address at an index of the unit's part of .debug_addr.
bool address_at_index(const unit_context& unit, std::uint64_t index, std::uint64_t& address);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
