#include "platform/posix/dwarf/unit_root.hpp"

#include "platform/posix/dwarf/dwarf_constants.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Strings whose form may need a base that comes later in the entry.
struct deferred_strings {
    attribute_value comp_dir;
    attribute_value dwo_name;
    bool has_comp_dir = false;
    bool has_dwo_name = false;
};

void take_split_attribute(std::uint32_t name, const attribute_value& value, open_unit& unit,
                          deferred_strings& strings) {
    switch (name) {
    case DW_AT_dwo_name:
    case DW_AT_GNU_dwo_name:
        strings.dwo_name = value;
        strings.has_dwo_name = true;
        break;
    case DW_AT_GNU_dwo_id:
        unit.root.gnu_dwo_id = value.value;
        unit.root.has_gnu_dwo_id = true;
        break;
    case DW_AT_GNU_ranges_base:
        unit.root.gnu_ranges_base = value.value;
        break;
    default:
        break;
    }
}

// Takes the root attributes that matter.
void take_root_attribute(std::uint32_t name, const attribute_value& value, open_unit& unit, deferred_strings& strings) {
    unit_root& root = unit.root;
    unit_context& context = unit.context;
    if (root.pc.take(name, value)) return;
    switch (name) {
    case DW_AT_stmt_list:
        root.stmt_list = value.value;
        root.has_stmt_list = true;
        break;
    case DW_AT_comp_dir:
        strings.comp_dir = value;
        strings.has_comp_dir = true;
        break;
    case DW_AT_str_offsets_base:
        context.str_offsets_base = value.value;
        context.has_str_offsets_base = true;
        break;
    case DW_AT_addr_base:
    case DW_AT_GNU_addr_base:
        context.addr_base = value.value;
        context.has_addr_base = true;
        break;
    case DW_AT_rnglists_base:
        context.rnglists_base = value.value;
        context.has_rnglists_base = true;
        break;
    default:
        take_split_attribute(name, value, unit, strings);
        break;
    }
}

} // namespace

bool read_unit_root(dwarf_sections& sections, std::size_t offset, open_unit& unit) {
    unit_header& header = unit.header;
    if (!read_unit_header(sections.info.get(), offset, header)) return false;
    if (header.unit_type != DW_UT_compile && header.unit_type != DW_UT_skeleton) return false;
    unit.abbrevs = sections.abbreviations.at(sections.abbrev.get(), header.abbrev_offset);
    if (unit.abbrevs == nullptr) return false;
    dwarf_cursor& cursor = unit.cursor;
    cursor = dwarf_cursor(sections.info.get(), header.first_entry, header.end);
    const abbreviation* entry = unit.abbrevs->find(cursor.uleb());
    if (entry == nullptr) return false;
    unit.root.tag = entry->tag;
    unit.root.has_children = entry->has_children;
    if (entry->tag != DW_TAG_compile_unit && entry->tag != DW_TAG_skeleton_unit) return false;

    unit.context.header = &header;
    unit.context.sections = &sections;
    deferred_strings strings;
    const attribute_layout* layouts = unit.abbrevs->layouts(*entry);
    for (std::uint32_t i = 0; i < entry->layout_count; ++i) {
        attribute_value value;
        if (!read_attribute(cursor, layouts[i], header, value)) return false;
        take_root_attribute(layouts[i].name, value, unit, strings);
    }
    // Bases may follow the attributes that need them, so these come last.
    settle_list_bases(unit.context);
    if (unit.root.pc.have_low) attribute_address(unit.context, unit.root.pc.low, unit.context.base_address);
    if (strings.has_comp_dir) unit.root.comp_dir = attribute_string(unit.context, strings.comp_dir);
    if (strings.has_dwo_name) {
        unit.root.dwo_name = attribute_string(unit.context, strings.dwo_name);
        unit.root.has_dwo_name = true;
    }
    return true;
}

bool prefetch_unit(open_unit& unit) {
    constexpr std::size_t largest_prefetched = std::size_t{4} << 20;
    return unit.header.end - unit.cursor.position() > largest_prefetched || unit.cursor.prefetch();
}

bool is_skeleton(const open_unit& unit) noexcept {
    return unit.header.unit_type == DW_UT_skeleton || unit.root.has_dwo_name;
}

bool skeleton_id(const open_unit& unit, std::uint64_t& id) noexcept {
    if (unit.header.unit_type == DW_UT_skeleton) {
        id = unit.header.unit_id;
        return true;
    }
    id = unit.root.gnu_dwo_id;
    return unit.root.has_gnu_dwo_id;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
