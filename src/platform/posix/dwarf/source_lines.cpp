#include "platform/posix/dwarf/source_lines.hpp"

#include <algorithm>
#include <unordered_map>

#include "platform/posix/dwarf/unit_root.hpp"
#include "platform/posix/support/checked_arithmetic.hpp"
#include "platform/posix/support/sorted_spans.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

std::optional<std::uint32_t> unit_index::find(std::uint64_t address) const noexcept {
    const auto next = std::upper_bound(ranges.begin(), ranges.end(), address,
                                       [](std::uint64_t a, const range& r) { return a < r.low; });
    const range* after = ranges.data() + (next - ranges.begin());
    // A unit's ranges lie between another's only where a linker interleaved
    // their sections; a few at most.
    constexpr std::size_t most_interleaved_ranges = 8;
    const range* found = last_holding(ranges.data(), after, most_interleaved_ranges,
                                      [address](const range& r) { return address < r.high(); });
    if (found == nullptr) return std::nullopt;
    return found->unit;
}

unit_index::range unit_index::range_of(std::uint64_t low, std::uint64_t high, std::uint32_t unit) noexcept {
    const std::uint64_t size = high > low ? std::min<std::uint64_t>(high - low, UINT32_MAX) : 0;
    return range{low, static_cast<std::uint32_t>(size), unit};
}

void unit_index::finish() {
    std::sort(ranges.begin(), ranges.end(), [](const range& a, const range& b) { return a.low < b.low; });
    ranges.shrink_to_fit();
    // No array for no units: a zero-length one is a block that leak checkers
    // cannot tell from a lost one.
    if (!offsets.empty())
        blocks_ = std::make_unique<published<block>[]>((offsets.size() + block_size - 1) / block_size);
}

built_once<unit_lines>& unit_index::data(std::uint32_t number) {
    published<block>& slot = blocks_[number / block_size];
    block* found = slot.get();
    if (found == nullptr) found = slot.offer(std::make_unique<block>());
    return found->units[number % block_size];
}

std::unique_ptr<source_lines> source_lines::open(dwarf_sections sections, code_ranges code, split_file_source* split,
                                                 bool inline_calls) {
    if (sections.info == nullptr || sections.abbrev == nullptr || sections.line == nullptr) return nullptr;
    std::unique_ptr<source_lines> lines(new source_lines());
    lines->sections_ = std::move(sections);
    lines->sections_.bound_range_entries();
    lines->code_ = std::move(code);
    if (split != nullptr) lines->split_ = std::make_unique<split_units>(*split);
    if (inline_calls) lines->inlines_ = std::make_unique<inline_reading>(lines->build_);
    lines->primary_from_aranges_ = lines->read_aranges(lines->primary_);
    // Read once, into the index: its memory (a tenth of a megabyte for the C
    // library, inflated whole) goes back.
    lines->sections_.aranges.reset();
    if (!lines->primary_from_aranges_) {
        lines->primary_.ranges.clear();
        lines->primary_.offsets.clear();
        lines->scan_units(lines->primary_, nullptr);
    }
    lines->primary_.finish();
    return lines;
}

namespace {

// One set of .debug_aranges: the unit it names and where its tuples lie.
struct aranges_set {
    std::uint64_t info_offset = 0;
    std::uint8_t address_size = 0;
    std::size_t tuples = 0;
    std::size_t end = 0;
};

// Reads the header of the set at the cursor and moves the cursor past it.
bool read_aranges_set(section_data* aranges, dwarf_cursor& cursor, aranges_set& out) {
    const std::size_t start = cursor.position();
    bool offset64 = false;
    if (!read_initial_length(cursor, out.end, offset64) || out.end == cursor.position()) return false;
    dwarf_cursor set(aranges, cursor.position(), out.end);
    set.u16(); // version
    out.info_offset = set.fixed(offset64 ? 8 : 4);
    out.address_size = set.u8();
    set.u8(); // segment selector size
    if (!set.ok() || (out.address_size != 4 && out.address_size != 8)) return false;
    const std::size_t tuple = std::size_t{2} * out.address_size;
    const std::size_t header = set.position() - start;
    out.tuples = start + (header + tuple - 1) / tuple * tuple;
    cursor.seek(out.end);
    return true;
}

} // namespace

bool source_lines::read_aranges(unit_index& index) {
    section_data* aranges = sections_.aranges.get();
    if (aranges == nullptr) return false;
    // Counted first, so that the index is made at its size: the C library's
    // has thousands of ranges, and growing it left its copies behind in the
    // heap.
    std::size_t most_ranges = 0;
    std::size_t sets = 0;
    for (dwarf_cursor cursor(aranges, 0, aranges->size()); !cursor.at_end(); ++sets) {
        aranges_set set;
        if (!read_aranges_set(aranges, cursor, set)) break;
        if (set.end > set.tuples) most_ranges += (set.end - set.tuples) / (std::size_t{2} * set.address_size);
    }
    index.ranges.reserve(most_ranges);
    index.offsets.reserve(sets);
    // Units are numbered in the order their first set comes; a unit named by
    // sets out of order is found by a map, made only then.
    std::unordered_map<std::uint64_t, std::uint32_t> numbers;
    bool rising = true;
    dwarf_cursor cursor(aranges, 0, aranges->size());
    while (!cursor.at_end()) {
        aranges_set header;
        if (!read_aranges_set(aranges, cursor, header)) break;
        std::uint32_t number = static_cast<std::uint32_t>(index.offsets.size());
        if (rising && !index.offsets.empty() && header.info_offset <= index.offsets.back()) {
            rising = false;
            for (std::size_t n = 0; n < index.offsets.size(); ++n)
                numbers.emplace(index.offsets[n], static_cast<std::uint32_t>(n));
        }
        if (rising) {
            index.offsets.push_back(header.info_offset);
        } else {
            const auto inserted = numbers.emplace(header.info_offset, number);
            if (inserted.second)
                index.offsets.push_back(header.info_offset);
            else
                number = inserted.first->second;
        }
        dwarf_cursor set(aranges, header.tuples, header.end);
        for (;;) {
            const std::uint64_t address = set.fixed(header.address_size);
            const std::uint64_t size = set.fixed(header.address_size);
            if (!set.ok() || (address == 0 && size == 0)) break;
            std::uint64_t high = 0;
            if (size != 0 && checked_add(address, size, high) && code_.holds(address))
                index.ranges.push_back(unit_index::range_of(address, high, number));
        }
    }
    return !index.offsets.empty();
}

void source_lines::scan_units(unit_index& index, const std::vector<std::uint64_t>* skip) {
    section_data* info = sections_.info.get();
    std::size_t offset = 0;
    while (offset < info->size()) {
        // A unit listed already is passed over by its header: reading its
        // root means reading its abbreviations.
        unit_header header;
        if (!read_unit_header(info, offset, header) || header.end <= offset) break;
        open_unit unit;
        if ((skip == nullptr || !std::binary_search(skip->begin(), skip->end(), header.offset)) &&
            read_unit_root(sections_, offset, unit)) {
            const std::uint32_t number = static_cast<std::uint32_t>(index.offsets.size());
            bool any = false;
            for_each_pc_range(unit.context, unit.root.pc, [&](std::uint64_t low, std::uint64_t high) {
                if (!code_.holds(low)) return;
                index.ranges.push_back(unit_index::range_of(low, high, number));
                any = true;
            });
            if (any) index.offsets.push_back(unit.header.offset);
        }
        offset = header.end;
    }
    // Only the roots were wanted, and nothing points into them now.
    info->release(0, info->size());
}

const unit_lines* source_lines::unit(unit_index& index, std::uint32_t n) {
    return index.data(n).get(build_, [&] {
        std::unique_ptr<unit_lines> read =
            read_unit_lines(sections_, static_cast<std::size_t>(index.offsets[n]), code_, split_.get(), inlines_.get());
        // A unit that cannot be read answers nothing, and is not read again.
        return read != nullptr ? std::move(read) : std::make_unique<unit_lines>();
    });
}

unit_index* source_lines::unlisted() {
    return unlisted_.get(build_, [&] {
        auto extra = std::make_unique<unit_index>();
        std::vector<std::uint64_t> listed = primary_.offsets;
        std::sort(listed.begin(), listed.end());
        scan_units(*extra, &listed);
        extra->finish();
        return extra;
    });
}

const unit_lines* source_lines::unit_at(std::uint64_t address) {
    if (const std::optional<std::uint32_t> number = primary_.find(address)) return unit(primary_, *number);
    // Only objects built by one compiler have complete address tables; a
    // mixed one lists some units nowhere, and those are found by walking the
    // units once. Installed (compressed) debug files are complete, and
    // walking them would mean inflating all of their debug information.
    if (!primary_from_aranges_ || sections_.info->compressed()) return nullptr;
    unit_index* extra = unlisted();
    const std::optional<std::uint32_t> number = extra->find(address);
    return number ? unit(*extra, *number) : nullptr;
}

std::optional<std::uint64_t> source_lines::unit_offset(std::uint64_t address) const noexcept {
    const std::optional<std::uint32_t> number = primary_.find(address);
    if (!number || *number >= primary_.offsets.size()) return std::nullopt;
    return primary_.offsets[*number];
}

void source_lines::read_ahead() {
    const scoped_lock hold(build_);
    for (section_data* s : {sections_.info.get(), sections_.abbrev.get(), sections_.line.get(), sections_.str.get(),
                            sections_.line_str.get(), sections_.str_offsets.get(), sections_.addr.get(),
                            sections_.ranges.get(), sections_.rnglists.get()})
        if (s != nullptr) s->read_ahead();
}

bool source_lines::find(std::uint64_t address, source_location& out) {
    const unit_lines* lines = unit_at(address);
    return lines != nullptr && lines->find(address, out);
}

bool source_lines::inline_chain(std::uint64_t address, std::vector<inline_frame>& out) {
    const unit_lines* lines = unit_at(address);
    return lines != nullptr && lines->inline_chain(address, out);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
