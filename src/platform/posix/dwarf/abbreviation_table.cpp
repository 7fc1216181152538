#include "platform/posix/dwarf/abbreviation_table.hpp"

#include <algorithm>

#include "platform/posix/dwarf/attributes.hpp"
#include "platform/posix/dwarf/dwarf_constants.hpp"
#include "platform/posix/dwarf/dwarf_cursor.hpp"
#include "platform/posix/support/work_counts.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Real tables take a few kilobytes; a unit's table cannot need more than this.
constexpr std::size_t most_table_bytes = std::size_t{1} << 20;

// Counts a form into the entry's size while that is known before reading.
void add_size(abbreviation& entry, std::uint32_t form) {
    if (!entry.fixed_size) return;
    unsigned bytes = 0;
    switch (size_of_form(form, bytes)) {
    case form_size::bytes:
        entry.fixed_bytes += bytes;
        return;
    case form_size::address:
        entry.fixed_size = ++entry.address_forms != 0;
        return;
    case form_size::offset:
        entry.fixed_size = ++entry.offset_forms != 0;
        return;
    case form_size::reference:
        entry.fixed_size = ++entry.reference_forms != 0;
        return;
    case form_size::variable:
        entry.fixed_size = false;
        return;
    }
}

} // namespace

bool abbreviation_table::read(section_data* abbrev, std::uint64_t offset, std::size_t most_bytes, std::size_t& used) {
    entries_.clear();
    layouts_.clear();
    dense_ = true;
    used = 0;
    if (abbrev == nullptr || offset >= abbrev->size()) return false;
    const std::size_t begin = static_cast<std::size_t>(offset);
    dwarf_cursor cursor(abbrev, begin, begin + std::min(abbrev->size() - begin, most_bytes));
    // What a failed read took counts too.
    const auto failed = [&] {
        used = cursor.position() - begin;
        return false;
    };
    for (;;) {
        abbreviation entry;
        entry.code = cursor.uleb();
        if (!cursor.ok()) return failed();
        if (entry.code == 0) break;
        entry.tag = static_cast<std::uint32_t>(cursor.uleb());
        entry.has_children = cursor.u8() != 0;
        entry.first_layout = static_cast<std::uint32_t>(layouts_.size());
        bool low = false;
        bool high = false;
        for (;;) {
            const std::uint64_t name = cursor.uleb();
            const std::uint64_t form = cursor.uleb();
            if (!cursor.ok()) return failed();
            if (name == 0 && form == 0) break;
            const std::int64_t implicit_value = form == DW_FORM_implicit_const ? cursor.sleb() : 0;
            add_size(entry, static_cast<std::uint32_t>(form));
            low |= name == DW_AT_low_pc;
            high |= name == DW_AT_high_pc;
            entry.may_have_code |= name == DW_AT_ranges || (low && high);
            layouts_.push_back(
                attribute_layout{static_cast<std::uint32_t>(name), static_cast<std::uint32_t>(form), implicit_value});
        }
        entry.layout_count = static_cast<std::uint32_t>(layouts_.size() - entry.first_layout);
        if (entry.code != entries_.size() + 1) dense_ = false;
        entries_.push_back(entry);
    }
    used = cursor.position() - begin;
    count_work(counted_work.abbreviations_read, entries_.size());
    if (!dense_)
        std::sort(entries_.begin(), entries_.end(),
                  [](const abbreviation& a, const abbreviation& b) { return a.code < b.code; });
    entries_.shrink_to_fit();
    layouts_.shrink_to_fit();
    return true;
}

const abbreviation_table* abbreviation_cache::at(section_data* abbrev, std::uint64_t offset) {
    if (abbrev == nullptr) return nullptr;
    const auto known = tables_.find(offset);
    if (known != tables_.end()) return known->second.get();
    if (!budget_set_) {
        bytes_left_ = 2 * std::uint64_t{abbrev->size()} + 4096;
        budget_set_ = true;
    }
    auto table = std::make_unique<abbreviation_table>();
    std::size_t used = 0;
    const std::size_t most = static_cast<std::size_t>(std::min<std::uint64_t>(bytes_left_, most_table_bytes));
    // A table that cannot be read is remembered as such, and costs nothing
    // the next time a unit names it.
    if (!table->read(abbrev, offset, most, used)) table.reset();
    const abbreviation_table* kept = table.get();
    tables_.emplace(offset, std::move(table));
    bytes_left_ -= std::min<std::uint64_t>(bytes_left_, used);
    return kept;
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
