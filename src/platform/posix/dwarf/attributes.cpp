#include "platform/posix/dwarf/attributes.hpp"

#include "platform/posix/dwarf/dwarf_constants.hpp"
#include "platform/posix/dwarf/list_tables.hpp"
#include "platform/posix/support/checked_arithmetic.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Bytes of a form whose value is a fixed-size number; 0 for other forms.
unsigned fixed_form_size(std::uint32_t form, const unit_header& unit) noexcept {
    switch (form) {
    case DW_FORM_data1:
    case DW_FORM_ref1:
    case DW_FORM_flag:
    case DW_FORM_strx1:
    case DW_FORM_addrx1:
        return 1;
    case DW_FORM_data2:
    case DW_FORM_ref2:
    case DW_FORM_strx2:
    case DW_FORM_addrx2:
        return 2;
    case DW_FORM_strx3:
    case DW_FORM_addrx3:
        return 3;
    case DW_FORM_data4:
    case DW_FORM_ref4:
    case DW_FORM_ref_sup4:
    case DW_FORM_strx4:
    case DW_FORM_addrx4:
        return 4;
    case DW_FORM_data8:
    case DW_FORM_ref8:
    case DW_FORM_ref_sig8:
    case DW_FORM_ref_sup8:
        return 8;
    case DW_FORM_addr:
        return unit.address_size;
    case DW_FORM_strp:
    case DW_FORM_line_strp:
    case DW_FORM_sec_offset:
    case DW_FORM_strp_sup:
    case DW_FORM_GNU_ref_alt:
    case DW_FORM_GNU_strp_alt:
        return offset_size(unit);
    case DW_FORM_ref_addr:
        return unit.version <= 2 ? unit.address_size : offset_size(unit);
    default:
        return 0;
    }
}

bool is_uleb_form(std::uint32_t form) noexcept {
    switch (form) {
    case DW_FORM_udata:
    case DW_FORM_ref_udata:
    case DW_FORM_strx:
    case DW_FORM_addrx:
    case DW_FORM_loclistx:
    case DW_FORM_rnglistx:
    case DW_FORM_GNU_addr_index:
    case DW_FORM_GNU_str_index:
        return true;
    default:
        return false;
    }
}

// The forms that are neither fixed-size nor a ULEB128: blocks, which are
// stepped over, and those that carry their value elsewhere.
bool read_other_form(dwarf_cursor& cursor, std::uint32_t form, std::int64_t implicit_value, attribute_value& out) {
    switch (form) {
    case DW_FORM_block1:
        return cursor.skip(cursor.u8());
    case DW_FORM_block2:
        return cursor.skip(cursor.u16());
    case DW_FORM_block4:
        return cursor.skip(cursor.u32());
    case DW_FORM_block:
    case DW_FORM_exprloc:
        return cursor.skip(cursor.uleb());
    case DW_FORM_data16:
        return cursor.skip(16);
    case DW_FORM_string:
        out.inline_string = cursor.c_string();
        return true;
    case DW_FORM_sdata:
        out.value = static_cast<std::uint64_t>(cursor.sleb());
        return true;
    case DW_FORM_flag_present:
        out.value = 1;
        return true;
    case DW_FORM_implicit_const:
        out.value = static_cast<std::uint64_t>(implicit_value);
        return true;
    default:
        return false;
    }
}

bool is_constant_form(std::uint32_t form) noexcept {
    switch (form) {
    case DW_FORM_data1:
    case DW_FORM_data2:
    case DW_FORM_data4:
    case DW_FORM_data8:
    case DW_FORM_udata:
    case DW_FORM_sdata:
    case DW_FORM_implicit_const:
        return true;
    default:
        return false;
    }
}

struct form_class {
    form_kind kind;
    std::uint8_t bytes;
};

// What kind_of_form says, worked out from the form alone.
constexpr form_class classify(std::uint32_t form) noexcept {
    switch (form) {
    case DW_FORM_addr:
        return {form_kind::address, 0};
    case DW_FORM_ref_addr:
        return {form_kind::reference, 0};
    case DW_FORM_strp:
    case DW_FORM_line_strp:
    case DW_FORM_sec_offset:
    case DW_FORM_strp_sup:
    case DW_FORM_GNU_ref_alt:
    case DW_FORM_GNU_strp_alt:
        return {form_kind::offset, 0};
    case DW_FORM_data1:
    case DW_FORM_ref1:
    case DW_FORM_flag:
    case DW_FORM_strx1:
    case DW_FORM_addrx1:
        return {form_kind::number, 1};
    case DW_FORM_data2:
    case DW_FORM_ref2:
    case DW_FORM_strx2:
    case DW_FORM_addrx2:
        return {form_kind::number, 2};
    case DW_FORM_strx3:
    case DW_FORM_addrx3:
        return {form_kind::number, 3};
    case DW_FORM_data4:
    case DW_FORM_ref4:
    case DW_FORM_ref_sup4:
    case DW_FORM_strx4:
    case DW_FORM_addrx4:
        return {form_kind::number, 4};
    case DW_FORM_data8:
    case DW_FORM_ref8:
    case DW_FORM_ref_sig8:
    case DW_FORM_ref_sup8:
        return {form_kind::number, 8};
    case DW_FORM_udata:
    case DW_FORM_ref_udata:
    case DW_FORM_strx:
    case DW_FORM_addrx:
    case DW_FORM_loclistx:
    case DW_FORM_rnglistx:
    case DW_FORM_GNU_addr_index:
    case DW_FORM_GNU_str_index:
        return {form_kind::uleb, 0};
    case DW_FORM_sdata:
        return {form_kind::sleb, 0};
    case DW_FORM_string:
        return {form_kind::string, 0};
    case DW_FORM_block1:
        return {form_kind::block1, 0};
    case DW_FORM_block2:
        return {form_kind::block2, 0};
    case DW_FORM_block4:
        return {form_kind::block4, 0};
    case DW_FORM_block:
    case DW_FORM_exprloc:
        return {form_kind::block, 0};
    case DW_FORM_data16:
        return {form_kind::data16, 0};
    case DW_FORM_flag_present:
        return {form_kind::flag_present, 0};
    case DW_FORM_implicit_const:
        return {form_kind::implicit_const, 0};
    default:
        return {form_kind::other, 0};
    }
}

// The forms of DWARF 5 and before, looked up rather than switched on: an
// object's abbreviations name a few hundred thousand of them.
struct form_table {
    form_class forms[DW_FORM_addrx4 + 1];
};

constexpr form_table make_form_table() noexcept {
    form_table table{};
    for (std::uint32_t form = 0; form <= DW_FORM_addrx4; ++form) table.forms[form] = classify(form);
    return table;
}

constexpr form_table standard_form_table = make_form_table();
constexpr const form_class (&standard_forms)[DW_FORM_addrx4 + 1] = standard_form_table.forms;

} // namespace

bool read_attribute(dwarf_cursor& cursor, std::uint32_t form, std::int64_t implicit_value, const unit_header& unit,
                    attribute_value& out) {
    for (int indirections = 0; form == DW_FORM_indirect; ++indirections) {
        if (indirections > 4) return false;
        form = static_cast<std::uint32_t>(cursor.uleb());
    }
    out.form = form;
    out.value = 0;
    out.inline_string = nullptr;
    if (const unsigned size = fixed_form_size(form, unit))
        out.value = cursor.fixed(size);
    else if (is_uleb_form(form))
        out.value = cursor.uleb();
    else if (!read_other_form(cursor, form, implicit_value, out))
        return false;
    return cursor.ok();
}

void settle_list_bases(unit_context& unit) {
    if (unit.header->version < 5) return;
    const bool offset64 = unit.header->offset64;
    if (!unit.has_addr_base)
        unit.addr_base = list_entries_start(unit.relocated_sections().addr.get(), 0, list_table::addr, offset64);
    if (!unit.has_str_offsets_base)
        unit.str_offsets_base =
            list_entries_start(unit.sections->str_offsets.get(), 0, list_table::str_offsets, offset64);
    if (!unit.has_rnglists_base)
        unit.rnglists_base = list_entries_start(unit.sections->rnglists.get(), 0, list_table::rnglists, offset64);
    unit.has_addr_base = unit.has_str_offsets_base = unit.has_rnglists_base = true;
}

form_kind kind_of_form(std::uint32_t form, unsigned& bytes) noexcept {
    const form_class c =
        form < sizeof standard_forms / sizeof standard_forms[0] ? standard_forms[form] : classify(form);
    bytes = c.bytes;
    return c.kind;
}

bool skip_entry(dwarf_cursor& cursor, const abbreviation& entry, const attribute_layout* layouts,
                const unit_header& unit) {
    if (!entry.fixed_size) {
        // Forms of known size are added up and skipped together with the
        // next one whose size only reading tells.
        const unsigned offset = offset_size(unit);
        const unsigned reference = unit.version <= 2 ? unit.address_size : offset;
        std::uint64_t pending = 0;
        for (std::uint32_t i = 0; i < entry.layout_count; ++i) {
            const attribute_layout& layout = layouts[i];
            switch (layout.kind) {
            case form_kind::number:
                pending += layout.bytes;
                continue;
            case form_kind::data16:
                pending += 16;
                continue;
            case form_kind::offset:
                pending += offset;
                continue;
            case form_kind::flag_present:
            case form_kind::implicit_const:
                continue;
            case form_kind::address:
            case form_kind::reference: {
                // Read as a number, which it cannot be at other sizes.
                const unsigned size = layout.kind == form_kind::address ? unit.address_size : reference;
                if (!cursor.skip(pending) || size == 0 || size > 8) return false;
                pending = size;
                continue;
            }
            default:
                break;
            }
            if (!cursor.skip(pending)) return false;
            pending = 0;
            attribute_value value;
            if (!read_attribute(cursor, layout, unit, value)) return false;
        }
        return cursor.skip(pending);
    }
    // read_attribute fails on an address of a size it cannot hold.
    const unsigned address = unit.address_size;
    const unsigned reference = unit.version <= 2 ? address : offset_size(unit);
    const bool addresses_readable = address != 0 && address <= 8;
    if ((entry.address_forms != 0 || (entry.reference_forms != 0 && unit.version <= 2)) && !addresses_readable)
        return false;
    const std::uint64_t size = std::uint64_t{entry.fixed_bytes} + std::uint64_t{entry.address_forms} * address +
                               std::uint64_t{entry.offset_forms} * offset_size(unit) +
                               std::uint64_t{entry.reference_forms} * reference;
    return cursor.skip(size);
}

bool is_address_form(std::uint32_t form) noexcept {
    switch (form) {
    case DW_FORM_addr:
    case DW_FORM_addrx:
    case DW_FORM_addrx1:
    case DW_FORM_addrx2:
    case DW_FORM_addrx3:
    case DW_FORM_addrx4:
    case DW_FORM_GNU_addr_index:
        return true;
    default:
        return false;
    }
}

bool address_at_index(const unit_context& unit, std::uint64_t index, std::uint64_t& address) {
    section_data* addr = unit.relocated_sections().addr.get();
    if (addr == nullptr) return false;
    const std::uint64_t base = unit.addr_base;
    const unsigned size = unit.header->address_size;
    std::uint64_t slot = 0;
    if (index > (addr->size() / (size != 0 ? size : 1)) || !checked_add(base, index * size, slot) ||
        slot > addr->size())
        return false;
    dwarf_cursor cursor(addr, 0, addr->size());
    cursor.seek(static_cast<std::size_t>(slot));
    address = cursor.fixed(size);
    return cursor.ok();
}

bool attribute_address(const unit_context& unit, const attribute_value& v, std::uint64_t& address) {
    if (v.form == DW_FORM_addr) {
        address = v.value;
        return true;
    }
    if (!is_address_form(v.form)) return false;
    return address_at_index(unit, v.value, address);
}

bool attribute_constant(const attribute_value& v, std::uint64_t& value) noexcept {
    if (!is_constant_form(v.form)) return false;
    value = v.value;
    return true;
}

const char* attribute_string(const unit_context& unit, const attribute_value& v) {
    dwarf_sections& s = *unit.sections;
    switch (v.form) {
    case DW_FORM_string:
        return v.inline_string;
    case DW_FORM_strp:
        return string_at(s.str.get(), v.value);
    case DW_FORM_line_strp:
        return string_at(s.line_str.get(), v.value);
    case DW_FORM_strx:
    case DW_FORM_strx1:
    case DW_FORM_strx2:
    case DW_FORM_strx3:
    case DW_FORM_strx4:
    case DW_FORM_GNU_str_index: {
        section_data* offsets = s.str_offsets.get();
        if (offsets == nullptr) return nullptr;
        const unsigned size = offset_size(*unit.header);
        const std::uint64_t base = unit.str_offsets_base;
        std::uint64_t slot = 0;
        if (v.value > offsets->size() / size || !checked_add(base, v.value * size, slot) || slot > offsets->size())
            return nullptr;
        dwarf_cursor cursor(offsets, 0, offsets->size());
        cursor.seek(static_cast<std::size_t>(slot));
        const std::uint64_t offset = cursor.fixed(size);
        return cursor.ok() ? string_at(s.str.get(), offset) : nullptr;
    }
    default:
        return nullptr;
    }
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
