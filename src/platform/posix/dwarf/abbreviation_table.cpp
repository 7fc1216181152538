#include "platform/posix/dwarf/abbreviation_table.hpp"

#include <dwarf.h>

#include <algorithm>

#include "platform/posix/dwarf/dwarf_cursor.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

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

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
