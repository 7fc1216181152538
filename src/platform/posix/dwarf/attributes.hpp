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

// The kind of a form, and for a number its size in bytes.
form_kind kind_of_form(std::uint32_t form, unsigned& bytes) noexcept;

// The same as the above for an attribute of an abbreviation, read by the kind
// its form was found to be.
inline bool read_attribute(dwarf_cursor& cursor, const attribute_layout& layout, const unit_header& unit,
                           attribute_value& out) {
    out.form = layout.form;
    out.value = 0;
    out.inline_string = nullptr;
    unsigned size = 0;
    switch (layout.kind) {
    case form_kind::number:
        out.value = cursor.fixed(layout.bytes);
        break;
    case form_kind::uleb:
        out.value = cursor.uleb();
        break;
    case form_kind::offset:
        out.value = cursor.fixed(unit.offset64 ? 8u : 4u);
        break;
    case form_kind::address:
    case form_kind::reference:
        size = layout.kind == form_kind::reference && unit.version > 2 ? (unit.offset64 ? 8u : 4u) : unit.address_size;
        if (size == 0) return false;
        out.value = cursor.fixed(size);
        break;
    case form_kind::flag_present:
        out.value = 1;
        break;
    case form_kind::implicit_const:
        out.value = static_cast<std::uint64_t>(layout.implicit_value());
        break;
    case form_kind::sleb:
        out.value = static_cast<std::uint64_t>(cursor.sleb());
        break;
    case form_kind::string:
        out.inline_string = cursor.c_string();
        break;
    case form_kind::data16:
        return cursor.skip(16);
    case form_kind::block1:
        return cursor.skip(cursor.u8());
    case form_kind::block2:
        return cursor.skip(cursor.u16());
    case form_kind::block4:
        return cursor.skip(cursor.u32());
    case form_kind::block:
        return cursor.skip(cursor.uleb());
    case form_kind::other:
        return read_attribute(cursor, layout.form, layout.implicit_value(), unit, out);
    }
    return cursor.ok();
}

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
