#include "dwarf_unit.hpp"

#include <dwarf.h>

#include <algorithm>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Sizes of the headers that precede the first entry of a version 5 string
// offsets, address and range list table: the bases a unit without its own
// base attribute refers to.
constexpr std::uint64_t v5_offsets_header = 8;
constexpr std::uint64_t v5_rnglists_header = 12;

unsigned offset_size(const unit_header& unit) { return unit.offset64 ? 8u : 4u; }

bool address_at_index(const unit_context& unit, std::uint64_t index, std::uint64_t& address) {
    section_data* addr = unit.sections->addr.get();
    if (addr == nullptr) return false;
    const std::uint64_t base =
        unit.has_addr_base ? unit.addr_base : (unit.header->version >= 5 ? v5_offsets_header : 0);
    const unsigned size = unit.header->address_size;
    if (index > (addr->size() / (size != 0 ? size : 1))) return false;
    dwarf_cursor cursor(addr, 0, addr->size());
    cursor.seek(static_cast<std::size_t>(base + index * size));
    address = cursor.fixed(size);
    return cursor.ok();
}

} // namespace

bool read_unit_header(section_data* info, std::size_t offset, unit_header& header) {
    if (info == nullptr) return false;
    dwarf_cursor cursor(info, offset, info->size());
    header = unit_header();
    header.offset = offset;
    std::uint64_t length = cursor.u32();
    if (length == 0xffffffffu) {
        header.offset64 = true;
        length = cursor.u64();
    } else if (length >= 0xfffffff0u) {
        return false;
    }
    if (!cursor.ok() || length > info->size() - cursor.position()) return false;
    header.end = cursor.position() + static_cast<std::size_t>(length);
    dwarf_cursor body(info, cursor.position(), header.end);
    header.version = body.u16();
    if (header.version < 2 || header.version > 5) return false;
    if (header.version >= 5) {
        header.unit_type = body.u8();
        header.address_size = body.u8();
        header.abbrev_offset = body.fixed(offset_size(header));
        if (header.unit_type == DW_UT_skeleton || header.unit_type == DW_UT_split_compile)
            body.skip(8);
        else if (header.unit_type == DW_UT_type || header.unit_type == DW_UT_split_type)
            body.skip(8 + offset_size(header));
    } else {
        header.unit_type = DW_UT_compile;
        header.abbrev_offset = body.fixed(offset_size(header));
        header.address_size = body.u8();
    }
    if (header.address_size != 4 && header.address_size != 8) return false;
    header.first_entry = body.position();
    return body.ok();
}

bool abbreviation_table::read(section_data* abbrev, std::uint64_t offset) {
    entries_.clear();
    layouts_.clear();
    dense_ = true;
    if (abbrev == nullptr || offset >= abbrev->size()) return false;
    dwarf_cursor cursor(abbrev, static_cast<std::size_t>(offset), abbrev->size());
    for (;;) {
        abbreviation entry;
        entry.code = cursor.uleb();
        if (!cursor.ok()) return false;
        if (entry.code == 0) break;
        entry.tag = static_cast<std::uint32_t>(cursor.uleb());
        entry.has_children = cursor.u8() != 0;
        entry.first_layout = static_cast<std::uint32_t>(layouts_.size());
        for (;;) {
            const std::uint64_t name = cursor.uleb();
            const std::uint64_t form = cursor.uleb();
            if (!cursor.ok()) return false;
            if (name == 0 && form == 0) break;
            const std::int64_t implicit_value = form == DW_FORM_implicit_const ? cursor.sleb() : 0;
            layouts_.push_back(
                attribute_layout{static_cast<std::uint32_t>(name), static_cast<std::uint32_t>(form), implicit_value});
        }
        entry.layout_count = static_cast<std::uint32_t>(layouts_.size() - entry.first_layout);
        if (entry.code != entries_.size() + 1) dense_ = false;
        entries_.push_back(entry);
    }
    if (!dense_)
        std::sort(entries_.begin(), entries_.end(),
                  [](const abbreviation& a, const abbreviation& b) { return a.code < b.code; });
    return true;
}

const abbreviation* abbreviation_table::find(std::uint64_t code) const noexcept {
    if (dense_) return code != 0 && code <= entries_.size() ? &entries_[static_cast<std::size_t>(code - 1)] : nullptr;
    auto it = std::lower_bound(entries_.begin(), entries_.end(), code,
                               [](const abbreviation& a, std::uint64_t c) { return a.code < c; });
    return it != entries_.end() && it->code == code ? &*it : nullptr;
}

bool read_attribute(dwarf_cursor& cursor, std::uint32_t form, std::int64_t implicit_value, const unit_header& unit,
                    attribute_value& out) {
    for (int indirections = 0; form == DW_FORM_indirect; ++indirections) {
        if (indirections > 4) return false;
        form = static_cast<std::uint32_t>(cursor.uleb());
    }
    out.form = form;
    out.value = 0;
    out.inline_string = nullptr;
    switch (form) {
    case DW_FORM_addr:
        out.value = cursor.fixed(unit.address_size);
        break;
    case DW_FORM_block1:
        cursor.skip(cursor.u8());
        break;
    case DW_FORM_block2:
        cursor.skip(cursor.u16());
        break;
    case DW_FORM_block4:
        cursor.skip(cursor.u32());
        break;
    case DW_FORM_block:
    case DW_FORM_exprloc:
        cursor.skip(cursor.uleb());
        break;
    case DW_FORM_data1:
    case DW_FORM_ref1:
    case DW_FORM_flag:
    case DW_FORM_strx1:
    case DW_FORM_addrx1:
        out.value = cursor.fixed(1);
        break;
    case DW_FORM_data2:
    case DW_FORM_ref2:
    case DW_FORM_strx2:
    case DW_FORM_addrx2:
        out.value = cursor.fixed(2);
        break;
    case DW_FORM_strx3:
    case DW_FORM_addrx3:
        out.value = cursor.fixed(3);
        break;
    case DW_FORM_data4:
    case DW_FORM_ref4:
    case DW_FORM_ref_sup4:
    case DW_FORM_strx4:
    case DW_FORM_addrx4:
        out.value = cursor.fixed(4);
        break;
    case DW_FORM_data8:
    case DW_FORM_ref8:
    case DW_FORM_ref_sig8:
    case DW_FORM_ref_sup8:
        out.value = cursor.fixed(8);
        break;
    case DW_FORM_data16:
        cursor.skip(16);
        break;
    case DW_FORM_string:
        out.inline_string = cursor.c_string();
        break;
    case DW_FORM_sdata:
        out.value = static_cast<std::uint64_t>(cursor.sleb());
        break;
    case DW_FORM_udata:
    case DW_FORM_ref_udata:
    case DW_FORM_strx:
    case DW_FORM_addrx:
    case DW_FORM_loclistx:
    case DW_FORM_rnglistx:
    case DW_FORM_GNU_addr_index:
    case DW_FORM_GNU_str_index:
        out.value = cursor.uleb();
        break;
    case DW_FORM_strp:
    case DW_FORM_line_strp:
    case DW_FORM_sec_offset:
    case DW_FORM_strp_sup:
    case DW_FORM_GNU_ref_alt:
    case DW_FORM_GNU_strp_alt:
        out.value = cursor.fixed(offset_size(unit));
        break;
    case DW_FORM_ref_addr:
        out.value = cursor.fixed(unit.version <= 2 ? unit.address_size : offset_size(unit));
        break;
    case DW_FORM_flag_present:
        out.value = 1;
        break;
    case DW_FORM_implicit_const:
        out.value = static_cast<std::uint64_t>(implicit_value);
        break;
    default:
        return false;
    }
    return cursor.ok();
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
        const std::uint64_t base =
            unit.has_str_offsets_base ? unit.str_offsets_base : (unit.header->version >= 5 ? v5_offsets_header : 0);
        if (v.value > offsets->size() / size) return nullptr;
        dwarf_cursor cursor(offsets, 0, offsets->size());
        cursor.seek(static_cast<std::size_t>(base + v.value * size));
        const std::uint64_t offset = cursor.fixed(size);
        return cursor.ok() ? string_at(s.str.get(), offset) : nullptr;
    }
    default:
        return nullptr;
    }
}

bool read_range_list(const unit_context& unit, const attribute_value& v,
                     void (*add)(void*, std::uint64_t, std::uint64_t), void* state) {
    const unit_header& header = *unit.header;
    const unsigned address_size = header.address_size;
    const std::uint64_t largest = address_size == 8 ? ~std::uint64_t{0} : 0xffffffffu;
    std::uint64_t base = unit.base_address;

    if (header.version <= 4) {
        section_data* ranges = unit.sections->ranges.get();
        if (ranges == nullptr || v.value >= ranges->size()) return false;
        dwarf_cursor cursor(ranges, static_cast<std::size_t>(v.value), ranges->size());
        for (;;) {
            const std::uint64_t begin = cursor.fixed(address_size);
            const std::uint64_t end = cursor.fixed(address_size);
            if (!cursor.ok()) return false;
            if (begin == 0 && end == 0) return true;
            if (begin == largest)
                base = end;
            else if (end > begin)
                add(state, base + begin, base + end);
        }
    }

    section_data* lists = unit.sections->rnglists.get();
    if (lists == nullptr) return false;
    std::uint64_t offset = v.value;
    if (v.form == DW_FORM_rnglistx) {
        const unsigned size = offset_size(header);
        const std::uint64_t table = unit.has_rnglists_base ? unit.rnglists_base : v5_rnglists_header;
        if (v.value > lists->size() / size) return false;
        dwarf_cursor index(lists, 0, lists->size());
        index.seek(static_cast<std::size_t>(table + v.value * size));
        offset = table + index.fixed(size);
        if (!index.ok()) return false;
    }
    if (offset >= lists->size()) return false;
    dwarf_cursor cursor(lists, static_cast<std::size_t>(offset), lists->size());
    for (;;) {
        const std::uint8_t kind = cursor.u8();
        if (!cursor.ok()) return false;
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        switch (kind) {
        case DW_RLE_end_of_list:
            return true;
        case DW_RLE_base_addressx:
            if (!address_at_index(unit, cursor.uleb(), base)) return false;
            continue;
        case DW_RLE_startx_endx:
            if (!address_at_index(unit, cursor.uleb(), low) || !address_at_index(unit, cursor.uleb(), high))
                return false;
            break;
        case DW_RLE_startx_length:
            if (!address_at_index(unit, cursor.uleb(), low)) return false;
            high = low + cursor.uleb();
            break;
        case DW_RLE_offset_pair:
            low = base + cursor.uleb();
            high = base + cursor.uleb();
            break;
        case DW_RLE_base_address:
            base = cursor.fixed(address_size);
            continue;
        case DW_RLE_start_end:
            low = cursor.fixed(address_size);
            high = cursor.fixed(address_size);
            break;
        case DW_RLE_start_length:
            low = cursor.fixed(address_size);
            high = low + cursor.uleb();
            break;
        default:
            return false;
        }
        if (!cursor.ok()) return false;
        if (high > low) add(state, low, high);
    }
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
