#include "platform/posix/dwarf/unit_root.hpp"

#include <dwarf.h>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Takes the root attributes that matter; `comp_dir` is kept as stored,
// since the string bases it may need can come after it.
void take_root_attribute(std::uint32_t name, const attribute_value& value, open_unit& unit, attribute_value& comp_dir,
                         bool& has_comp_dir) {
    unit_root& root = unit.root;
    unit_context& context = unit.context;
    if (root.pc.take(name, value)) return;
    switch (name) {
    case DW_AT_stmt_list:
        root.stmt_list = value.value;
        root.has_stmt_list = true;
        break;
    case DW_AT_comp_dir:
        comp_dir = value;
        has_comp_dir = true;
        break;
    case DW_AT_str_offsets_base:
        context.str_offsets_base = value.value;
        context.has_str_offsets_base = true;
        break;
    case DW_AT_addr_base:
        context.addr_base = value.value;
        context.has_addr_base = true;
        break;
    case DW_AT_rnglists_base:
        context.rnglists_base = value.value;
        context.has_rnglists_base = true;
        break;
    default:
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
    attribute_value comp_dir;
    bool has_comp_dir = false;
    const attribute_layout* layouts = unit.abbrevs->layouts(*entry);
    for (std::uint32_t i = 0; i < entry->layout_count; ++i) {
        attribute_value value;
        if (!read_attribute(cursor, layouts[i].form, layouts[i].implicit_value, header, value)) return false;
        take_root_attribute(layouts[i].name, value, unit, comp_dir, has_comp_dir);
    }
    // Bases may follow the attributes that need them, so these come last.
    if (unit.root.pc.have_low) attribute_address(unit.context, unit.root.pc.low, unit.context.base_address);
    if (has_comp_dir) unit.root.comp_dir = attribute_string(unit.context, comp_dir);
    return true;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
