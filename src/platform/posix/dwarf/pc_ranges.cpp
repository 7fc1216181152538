#include "platform/posix/dwarf/pc_ranges.hpp"

#include "platform/posix/dwarf/dwarf_constants.hpp"
#include "platform/posix/support/checked_arithmetic.hpp"
#include "platform/posix/support/work_counts.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// One more entry of what may be read from the sections that hold the list;
// false once spent.
bool take_entry(dwarf_sections& holder) {
    std::uint64_t& left = holder.range_entries_left;
    if (left == 0) return false;
    --left;
    return true;
}

// A version 2 to 4 list in .debug_ranges: pairs of addresses, a pair whose
// first is the largest address setting a new base.
bool read_v4_list(const unit_context& unit, std::uint64_t offset, range_sink add, void* state) {
    section_data* ranges = unit.relocated_sections().ranges.get();
    if (ranges == nullptr || !checked_add(offset, unit.ranges_base, offset) || offset >= ranges->size()) return false;
    const unsigned address_size = unit.header->address_size;
    const std::uint64_t largest = address_size == 8 ? ~std::uint64_t{0} : 0xffffffffu;
    std::uint64_t base = unit.base_address;
    dwarf_cursor cursor(ranges, static_cast<std::size_t>(offset), ranges->size());
    for (;;) {
        if (!take_entry(unit.relocated_sections())) return false;
        const std::uint64_t begin = cursor.fixed(address_size);
        const std::uint64_t end = cursor.fixed(address_size);
        if (!cursor.ok()) return false;
        if (begin == 0 && end == 0) return true;
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        if (begin == largest)
            base = end;
        else if (end > begin && checked_add(base, begin, low) && checked_add(base, end, high))
            add(state, low, high);
    }
}

// Where in .debug_rnglists a list starts: an offset, or an index into the
// unit's table of offsets.
bool v5_list_offset(const unit_context& unit, const attribute_value& v, section_data* lists, std::uint64_t& offset) {
    if (!checked_add(v.value, unit.ranges_base, offset)) return false;
    if (v.form != DW_FORM_rnglistx) return true;
    const unsigned size = offset_size(*unit.header);
    const std::uint64_t table = unit.rnglists_base;
    std::uint64_t slot = 0;
    if (v.value > lists->size() / size || !checked_add(table, v.value * size, slot)) return false;
    dwarf_cursor index(lists, 0, lists->size());
    index.seek(static_cast<std::size_t>(slot));
    return checked_add(table, index.fixed(size), offset) && index.ok();
}

// One entry of a version 5 list. False ends the list: `done` tells whether
// it ended well.
bool read_v5_entry(const unit_context& unit, dwarf_cursor& cursor, std::uint64_t& base, range_sink add, void* state,
                   bool& done) {
    const unsigned address_size = unit.header->address_size;
    const std::uint8_t kind = cursor.u8();
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::uint64_t length = 0;
    done = false;
    if (!cursor.ok() || !take_entry(*unit.sections)) return false;
    switch (kind) {
    case DW_RLE_end_of_list:
        done = true;
        return false;
    case DW_RLE_base_addressx:
        return address_at_index(unit, cursor.uleb(), base);
    case DW_RLE_base_address:
        base = cursor.fixed(address_size);
        return cursor.ok();
    case DW_RLE_startx_endx:
        if (!address_at_index(unit, cursor.uleb(), low) || !address_at_index(unit, cursor.uleb(), high)) return false;
        break;
    case DW_RLE_startx_length:
        if (!address_at_index(unit, cursor.uleb(), low)) return false;
        length = cursor.uleb();
        if (!checked_add(low, length, high)) high = 0;
        break;
    case DW_RLE_offset_pair: {
        const std::uint64_t begin = cursor.uleb();
        const std::uint64_t end = cursor.uleb();
        if (!checked_add(base, begin, low) || !checked_add(base, end, high)) high = 0;
        break;
    }
    case DW_RLE_start_end:
        low = cursor.fixed(address_size);
        high = cursor.fixed(address_size);
        break;
    case DW_RLE_start_length:
        low = cursor.fixed(address_size);
        length = cursor.uleb();
        if (!checked_add(low, length, high)) high = 0;
        break;
    default:
        return false;
    }
    if (!cursor.ok()) return false;
    // An entry whose end does not fit covers nothing.
    if (high > low) add(state, low, high);
    return true;
}

bool read_v5_list(const unit_context& unit, const attribute_value& v, range_sink add, void* state) {
    section_data* lists = unit.sections->rnglists.get();
    std::uint64_t offset = 0;
    if (lists == nullptr || !v5_list_offset(unit, v, lists, offset) || offset >= lists->size()) return false;
    dwarf_cursor cursor(lists, static_cast<std::size_t>(offset), lists->size());
    std::uint64_t base = unit.base_address;
    bool done = false;
    while (read_v5_entry(unit, cursor, base, add, state, done)) {}
    return done;
}

} // namespace

bool pc_attributes::take(std::uint32_t name, const attribute_value& value) noexcept {
    switch (name) {
    case DW_AT_low_pc:
        low = value;
        have_low = true;
        return true;
    case DW_AT_high_pc:
        high = value;
        have_high = true;
        return true;
    case DW_AT_ranges:
        ranges = value;
        have_ranges = true;
        return true;
    default:
        return false;
    }
}

bool read_pc_ranges(const unit_context& unit, const pc_attributes& pc, range_sink add, void* state) {
    if (pc.have_ranges) {
        // Counted once for the list: a locked add for each entry was a
        // third of reading a short one.
        const bool v4 = unit.header->version <= 4;
        const dwarf_sections& holder = v4 ? unit.relocated_sections() : *unit.sections;
        const std::uint64_t before = holder.range_entries_left;
        const bool read =
            v4 ? read_v4_list(unit, pc.ranges.value, add, state) : read_v5_list(unit, pc.ranges, add, state);
        count_work(counted_work.range_entries_read, before - holder.range_entries_left);
        return read;
    }
    if (!pc.have_low || !pc.have_high) return false;
    std::uint64_t low = 0;
    if (!attribute_address(unit, pc.low, low)) return false;
    std::uint64_t high = 0;
    if (is_address_form(pc.high.form)) {
        if (!attribute_address(unit, pc.high, high)) return false;
    } else {
        std::uint64_t length = 0;
        if (!attribute_constant(pc.high, length) || !checked_add(low, length, high)) return false;
    }
    if (high > low) add(state, low, high);
    return true;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
