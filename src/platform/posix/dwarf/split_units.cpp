#include "platform/posix/dwarf/split_units.hpp"

#include "platform/posix/dwarf/dwarf_constants.hpp"
#include "platform/posix/dwarf/list_tables.hpp"
#include "platform/posix/support/checked_arithmetic.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// The bases a split unit inherits from its skeleton, and those its own part
// of each section starts at.
void inherit(const open_unit& skeleton, dwarf_sections& split, const unit_contribution& part, open_unit& unit) {
    const unit_header& header = unit.header;
    unit_context& context = unit.context;
    context.header = &unit.header;
    context.sections = &split;
    context.skeleton_sections = skeleton.context.sections;
    context.addr_base = skeleton.context.addr_base;
    context.has_addr_base = skeleton.context.has_addr_base;
    context.base_address = skeleton.context.base_address;
    // DWARF 5 tables open with a header; the GNU form's do not.
    context.str_offsets_base = header.version >= 5
                                   ? list_entries_start(split.str_offsets.get(), part.str_offsets_offset,
                                                        list_table::str_offsets, header.offset64)
                                   : part.str_offsets_offset;
    context.has_str_offsets_base = true;
    context.rnglists_base =
        list_entries_start(split.rnglists.get(), part.rnglists_offset, list_table::rnglists, header.offset64);
    context.has_rnglists_base = true;
    // DWARF 4 split units count their range lists, which stayed in the
    // object's .debug_ranges, from the skeleton's base.
    context.ranges_base = header.version >= 5 ? part.rnglists_offset : skeleton.root.gnu_ranges_base;
}

// Reads the split unit's header and root entry; `id` is the id it carries.
bool open_split_unit(const open_unit& skeleton, dwarf_sections& split, const unit_contribution& part, open_unit& unit,
                     std::uint64_t& id) {
    unit_header& header = unit.header;
    if (!read_unit_header(split.info.get(), static_cast<std::size_t>(part.info_offset), header)) return false;
    if (part.info_size != 0 && header.end - part.info_offset > part.info_size) return false;
    if (header.unit_type != DW_UT_split_compile && header.unit_type != DW_UT_compile) return false;
    std::uint64_t abbrev_offset = 0;
    if (!checked_add(header.abbrev_offset, part.abbrev_offset, abbrev_offset)) return false;
    unit.abbrevs = split.abbreviations.at(split.abbrev.get(), abbrev_offset);
    if (unit.abbrevs == nullptr) return false;
    dwarf_cursor& cursor = unit.cursor;
    cursor = dwarf_cursor(split.info.get(), header.first_entry, header.end);
    const abbreviation* entry = unit.abbrevs->find(cursor.uleb());
    if (entry == nullptr || entry->tag != DW_TAG_compile_unit) return false;
    unit.root.tag = entry->tag;
    unit.root.has_children = entry->has_children;
    id = header.unit_id;
    const attribute_layout* layouts = unit.abbrevs->layouts(*entry);
    for (std::uint32_t i = 0; i < entry->layout_count; ++i) {
        attribute_value value;
        if (!read_attribute(cursor, layouts[i], header, value)) return false;
        if (layouts[i].name == DW_AT_GNU_dwo_id) id = value.value;
    }
    inherit(skeleton, split, part, unit);
    return true;
}

bool read_split_sites(const open_unit& skeleton, std::uint64_t id, dwarf_sections& split, const unit_contribution& part,
                      const code_ranges& code, std::vector<inline_site>& sites, inline_tree* tree) {
    open_unit unit;
    std::uint64_t found_id = 0;
    if (!open_split_unit(skeleton, split, part, unit, found_id) || found_id != id) return false;
    if (!prefetch_unit(unit)) return false;
    if (unit.root.has_children) {
        const std::vector<inline_site> found = read_inline_sites(unit, code, tree);
        sites.insert(sites.end(), found.begin(), found.end());
    }
    // A package's units are read once each: their bytes go back.
    split.info->release(unit.header.offset, unit.header.end);
    return true;
}

// A lone .dwo may hold type units beside its compilation unit.
bool find_in_split_file(const open_unit& skeleton, std::uint64_t id, dwarf_sections& split, unit_contribution& part) {
    section_data* info = split.info.get();
    if (info == nullptr) return false;
    std::size_t offset = 0;
    while (offset < info->size()) {
        part.info_offset = offset;
        open_unit unit;
        std::uint64_t found_id = 0;
        if (open_split_unit(skeleton, split, part, unit, found_id) && found_id == id) return true;
        if (unit.header.end <= offset) return false;
        offset = unit.header.end;
    }
    return false;
}

} // namespace

const package_index* split_units::package() {
    if (!package_opened_) {
        // Opening or reading may throw (descriptors or memory running out):
        // nothing is remembered until both are done.
        split_file* found = source_.package();
        package_index index;
        if (found != nullptr && !index.read(found->cu_index.get())) found = nullptr;
        package_ = found;
        index_ = index;
        package_opened_ = true;
    }
    return package_ != nullptr ? &index_ : nullptr;
}

bool split_units::read_sites(const open_unit& skeleton, const code_ranges& code, std::vector<inline_site>& sites,
                             inline_tree* tree) {
    std::uint64_t id = 0;
    if (!skeleton_id(skeleton, id)) return false;
    unit_contribution part;
    if (const package_index* index = package())
        if (index->find(id, part)) return read_split_sites(skeleton, id, package_->sections, part, code, sites, tree);
    if (skeleton.root.dwo_name == nullptr) return false;
    bool read = false;
    source_.offer_split_files(skeleton.root.dwo_name, skeleton.root.comp_dir, [&](split_file& file) {
        unit_contribution lone;
        if (!find_in_split_file(skeleton, id, file.sections, lone)) return false;
        read = read_split_sites(skeleton, id, file.sections, lone, code, sites, tree);
        return true;
    });
    return read;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
