#include "platform/posix/dwarf/entry_names.hpp"

#include <algorithm>

#include "platform/posix/dwarf/dwarf_constants.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Entries followed from one: compilers chain two or three.
constexpr int most_entries = 8;

// The unit an entry is read in: the open one, or another met by reference.
struct entry_unit {
    unit_header header;
    const abbreviation_table* abbrevs = nullptr;
    unit_context context;
};

struct entry_names {
    std::string linkage;
    std::string name;
    std::uint64_t next[2] = {0, 0};
    int next_count = 0;
};

bool read_names(const entry_unit& unit, std::uint64_t offset, entry_names& out) {
    if (offset < unit.header.first_entry || offset >= unit.header.end) return false;
    dwarf_cursor cursor(unit.context.sections->info.get(), static_cast<std::size_t>(offset), unit.header.end);
    const abbreviation* entry = unit.abbrevs->find(cursor.uleb());
    if (!cursor.ok() || entry == nullptr) return false;
    const attribute_layout* layouts = unit.abbrevs->layouts(*entry);
    for (std::uint32_t i = 0; i < entry->layout_count; ++i) {
        attribute_value value;
        if (!read_attribute(cursor, layouts[i], unit.header, value)) return false;
        std::uint64_t target = 0;
        switch (layouts[i].name) {
        case DW_AT_linkage_name:
        case DW_AT_MIPS_linkage_name:
            if (const char* text = attribute_string(unit.context, value)) out.linkage = text;
            break;
        case DW_AT_name:
            if (const char* text = attribute_string(unit.context, value)) out.name = text;
            break;
        case DW_AT_abstract_origin:
        case DW_AT_specification:
            if (out.next_count < 2 && reference_target(unit.header, value, target)) out.next[out.next_count++] = target;
            break;
        default:
            break;
        }
    }
    return true;
}

// Another unit of the same sections, with the string base its root sets.
bool open_other(dwarf_sections& sections, const unit_header& header, entry_unit& unit) {
    unit.header = header;
    unit.abbrevs = sections.abbreviations.at(sections.abbrev.get(), header.abbrev_offset);
    if (unit.abbrevs == nullptr) return false;
    unit.context.header = &unit.header;
    unit.context.sections = &sections;
    dwarf_cursor cursor(sections.info.get(), header.first_entry, header.end);
    const abbreviation* root = unit.abbrevs->find(cursor.uleb());
    if (!cursor.ok() || root == nullptr) return false;
    const attribute_layout* layouts = unit.abbrevs->layouts(*root);
    for (std::uint32_t i = 0; i < root->layout_count; ++i) {
        attribute_value value;
        if (!read_attribute(cursor, layouts[i], unit.header, value)) return false;
        if (layouts[i].name == DW_AT_str_offsets_base) {
            unit.context.str_offsets_base = value.value;
            unit.context.has_str_offsets_base = true;
        }
    }
    return true;
}

} // namespace

bool unit_locator::find(section_data* info, std::uint64_t offset, unit_header& out) {
    if (info == nullptr) return false;
    while (!ended_ && (seen_.empty() || seen_.back().end <= offset)) {
        unit_header header;
        const bool known = read_unit_header(info, walked_, header);
        if (header.end <= walked_) {
            ended_ = true;
            break;
        }
        walked_ = header.end;
        if (known) seen_.push_back(header);
    }
    auto after = std::upper_bound(seen_.begin(), seen_.end(), offset,
                                  [](std::uint64_t o, const unit_header& h) { return o < h.offset; });
    if (after == seen_.begin() || offset >= (after - 1)->end) return false;
    out = *(after - 1);
    return true;
}

bool reference_target(const unit_header& unit, const attribute_value& value, std::uint64_t& offset) noexcept {
    switch (value.form) {
    case DW_FORM_ref1:
    case DW_FORM_ref2:
    case DW_FORM_ref4:
    case DW_FORM_ref8:
    case DW_FORM_ref_udata:
        if (value.value >= unit.end - unit.offset) return false;
        offset = unit.offset + value.value;
        return true;
    case DW_FORM_ref_addr:
        offset = value.value;
        return true;
    default:
        return false;
    }
}

std::string function_name_at(const open_unit& unit, std::uint64_t offset, unit_locator* others) {
    entry_unit own;
    own.header = unit.header;
    own.abbrevs = unit.abbrevs;
    own.context = unit.context;
    own.context.header = &own.header;
    entry_unit other;
    std::uint64_t queue[most_entries] = {offset};
    int queued = 1;
    std::string name;
    for (int i = 0; i < queued; ++i) {
        const std::uint64_t at = queue[i];
        const entry_unit* reader = &own;
        if (at < own.header.offset || at >= own.header.end) {
            unit_header header;
            if (others == nullptr || !others->find(unit.context.sections->info.get(), at, header)) continue;
            if (header.offset != other.header.offset || other.abbrevs == nullptr) {
                other = entry_unit();
                if (!open_other(*unit.context.sections, header, other)) continue;
            }
            reader = &other;
        }
        entry_names found;
        if (!read_names(*reader, at, found)) continue;
        if (!found.linkage.empty()) return found.linkage;
        if (name.empty()) name = found.name;
        for (int n = 0; n < found.next_count && queued < most_entries; ++n)
            if (std::find(queue, queue + queued, found.next[n]) == queue + queued) queue[queued++] = found.next[n];
    }
    return name;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
