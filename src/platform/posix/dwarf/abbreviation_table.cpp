#include "platform/posix/dwarf/abbreviation_table.hpp"

#include <algorithm>

#include "platform/posix/dwarf/attributes.hpp"
#include "platform/posix/dwarf/dwarf_constants.hpp"
#include "platform/posix/dwarf/dwarf_cursor.hpp"
#include "platform/posix/support/leb128.hpp"
#include "platform/posix/support/work_counts.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Real tables take a few kilobytes; a unit's table cannot need more than this.
constexpr std::size_t most_table_bytes = std::size_t{1} << 20;

// Counts an attribute into the entry's size while that is known before
// reading.
void add_size(abbreviation& entry, form_kind kind, unsigned bytes) {
    if (!entry.fixed_size) return;
    switch (kind) {
    case form_kind::number:
        entry.fixed_bytes += bytes;
        return;
    case form_kind::data16:
        entry.fixed_bytes += 16;
        return;
    case form_kind::flag_present:
    case form_kind::implicit_const:
        return;
    case form_kind::address:
        entry.fixed_size = ++entry.address_forms != 0;
        return;
    case form_kind::offset:
        entry.fixed_size = ++entry.offset_forms != 0;
        return;
    case form_kind::reference:
        entry.fixed_size = ++entry.reference_forms != 0;
        return;
    default:
        entry.fixed_size = false;
        return;
    }
}

} // namespace

// A table's bytes made readable at once and read in place: a table is
// thousands of one-byte numbers, and asking the section for each was most
// of reading it. Running past the end fails the reader, as a cursor fails.
class abbreviation_table::table_bytes {
public:
    table_bytes(const std::uint8_t* begin, const std::uint8_t* end) noexcept : begin_(begin), p_(begin), end_(end) {}

    bool ok() const noexcept { return ok_; }
    std::size_t taken() const noexcept { return static_cast<std::size_t>(p_ - begin_); }

    std::uint8_t u8() noexcept {
        if (p_ >= end_) {
            ok_ = false;
            return 0;
        }
        return *p_++;
    }
    std::uint64_t uleb() noexcept {
        if (p_ < end_ && *p_ < 0x80) return *p_++;
        return read_uleb128(next_byte{*this});
    }
    std::int64_t sleb() noexcept { return read_sleb128(next_byte{*this}); }

private:
    struct next_byte {
        table_bytes& in;
        bool operator()(std::uint8_t& byte) noexcept {
            byte = in.u8();
            return in.ok_;
        }
    };

    const std::uint8_t* begin_;
    const std::uint8_t* p_;
    const std::uint8_t* end_;
    bool ok_ = true;
};

bool abbreviation_table::read(section_data* abbrev, std::uint64_t offset, std::size_t most_bytes, std::size_t& used) {
    used = 0;
    if (abbrev == nullptr || offset >= abbrev->size()) return false;
    const std::size_t begin = static_cast<std::size_t>(offset);
    const std::size_t most = std::min(abbrev->size() - begin, most_bytes);
    // Read from a window that grows until it holds the table. Most tables
    // take a few kilobytes: the first window ends with the fourth page on,
    // which a section reads or inflates ahead of a table's first byte anyway.
    constexpr std::size_t page = 4096;
    const std::size_t first_window = (begin / page + 4) * page - begin;
    for (std::size_t window = std::min(most, first_window);; window = std::min(most, window * 4)) {
        // Where the section cannot give the whole window, the table is read
        // from the pages it can give, as far as they go.
        std::size_t readable = window;
        if (!abbrev->ensure(begin, begin + window)) {
            readable = 0;
            for (std::size_t next = 0; readable < window; readable = next) {
                next = std::min(window, (begin + readable) / page * page + page - begin);
                if (!abbrev->ensure(begin + readable, begin + next)) break;
            }
        }
        if (readable == 0) return false;
        table_bytes in(abbrev->bytes() + begin, abbrev->bytes() + begin + readable);
        // A table fails only by running past the end of what it is read from.
        if (parse(in, used)) return true;
        if (window == most || readable < window) return false;
    }
}

bool abbreviation_table::parse(table_bytes& cursor, std::size_t& used) {
    entries_.clear();
    layouts_.clear();
    dense_ = true;
    has_inlined_calls_ = false;
    // What a failed read took counts too.
    const auto failed = [&] {
        used = cursor.taken();
        return false;
    };
    // Counted first, so that the table is made at its size: grown and then
    // cut to size, its copies cost more than counting.
    table_bytes counting = cursor;
    std::size_t entry_count = 0;
    std::size_t layout_count = 0;
    for (;;) {
        const std::uint64_t code = counting.uleb();
        if (!counting.ok()) {
            cursor = counting;
            return failed();
        }
        if (code == 0) break;
        counting.uleb();
        counting.u8();
        for (;;) {
            const std::uint64_t name = counting.uleb();
            const std::uint64_t form = counting.uleb();
            if (!counting.ok()) {
                cursor = counting;
                return failed();
            }
            if (name == 0 && form == 0) break;
            if (form == DW_FORM_implicit_const) counting.sleb();
            ++layout_count;
        }
        ++entry_count;
    }
    entries_.reserve(entry_count);
    layouts_.reserve(layout_count);
    for (;;) {
        const std::uint64_t code = cursor.uleb();
        if (!cursor.ok()) return failed();
        if (code == 0) break;
        // Filled in place: built on the stack field by field and copied
        // whole, an entry or a layout waited on its own narrow stores.
        abbreviation& entry = entries_.emplace_back();
        entry.code = code;
        entry.tag = static_cast<std::uint32_t>(cursor.uleb());
        entry.has_children = cursor.u8() != 0;
        has_inlined_calls_ |= entry.tag == DW_TAG_inlined_subroutine;
        entry.first_layout = static_cast<std::uint32_t>(layouts_.size());
        bool low = false;
        bool high = false;
        bool ranges = false;
        bool has_sibling = false;
        for (;;) {
            const std::uint64_t name = cursor.uleb();
            const std::uint64_t form = cursor.uleb();
            if (!cursor.ok()) return failed();
            if (name == 0 && form == 0) break;
            const std::int64_t implicit_value = form == DW_FORM_implicit_const ? cursor.sleb() : 0;
            low |= name == DW_AT_low_pc;
            high |= name == DW_AT_high_pc;
            ranges |= name == DW_AT_ranges;
            constexpr std::uint64_t widest_form = 0xffff;
            const auto kept_form = static_cast<std::uint16_t>(std::min(form, widest_form));
            unsigned bytes = 0;
            const form_kind kind = kind_of_form(kept_form, bytes);
            entry.declaration |= name == DW_AT_declaration && form == DW_FORM_flag_present;
            if (name == DW_AT_sibling) {
                // Only one that is the entry's only sibling: a reader takes the last.
                const bool known = !has_sibling && kind == form_kind::number && entry.fixed_size;
                entry.sibling_bytes = known ? static_cast<std::uint8_t>(bytes) : 0;
                entry.sibling_fixed_bytes = entry.fixed_bytes;
                entry.sibling_address_forms = entry.address_forms;
                entry.sibling_offset_forms = entry.offset_forms;
                entry.sibling_reference_forms = entry.reference_forms;
                has_sibling = true;
            }
            add_size(entry, kind, bytes);
            const auto implicit = static_cast<std::uint64_t>(implicit_value);
            attribute_layout& layout = layouts_.emplace_back();
            layout.name = static_cast<std::uint32_t>(name);
            layout.implicit_low = static_cast<std::uint32_t>(implicit);
            layout.implicit_high = static_cast<std::uint32_t>(implicit >> 32);
            layout.form = kept_form;
            layout.kind = kind;
            layout.bytes = static_cast<std::uint8_t>(bytes);
        }
        entry.may_have_code = ranges || (low && high);
        entry.layout_count = static_cast<std::uint32_t>(layouts_.size() - entry.first_layout);
        if (entry.code != entries_.size()) dense_ = false;
    }
    used = cursor.taken();
    count_work(counted_work.abbreviations_read, entries_.size());
    if (!dense_)
        std::sort(entries_.begin(), entries_.end(),
                  [](const abbreviation& a, const abbreviation& b) { return a.code < b.code; });
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
    // Read whole, and the next table lies anywhere: the stream's decoder
    // memory goes back meanwhile, for the next stream to take.
    abbrev->let_go_of_decoder();
    const abbreviation_table* kept = table.get();
    tables_.emplace(offset, std::move(table));
    bytes_left_ -= std::min<std::uint64_t>(bytes_left_, used);
    return kept;
}

const abbreviation* abbreviation_table::find_sparse(std::uint64_t code) const noexcept {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), code,
                               [](const abbreviation& a, std::uint64_t c) { return a.code < c; });
    return it != entries_.end() && it->code == code ? &*it : nullptr;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
