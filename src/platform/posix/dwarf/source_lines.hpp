#ifndef KORVO_CALLTRAIL_POSIX_DWARF_SOURCE_LINES_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_SOURCE_LINES_HPP

// Source lines of one object from its DWARF. A unit is read the first time
// one of its addresses is asked for; its data is then immutable, so lookups
// in units already read take no lock.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/posix/support/annotated_mutex.hpp"
#include "platform/posix/support/built_once.hpp"
#include "platform/posix/dwarf/dwarf_sections.hpp"
#include "platform/posix/dwarf/entry_names.hpp"
#include "platform/posix/dwarf/line_table.hpp"
#include "platform/posix/dwarf/split_units.hpp"
#include "platform/posix/dwarf/unit_lines.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Which unit holds an address, and that unit's data once read.
struct unit_index {
    // Sixteen bytes: the C library has thousands. One longer than 4 GB,
    // more than any object's code, is cut there (range_of).
    struct range {
        std::uint64_t low;
        std::uint32_t size;
        std::uint32_t unit;

        std::uint64_t high() const noexcept { return low + size; }
    };
    static range range_of(std::uint64_t low, std::uint64_t high, std::uint32_t unit) noexcept;
    std::vector<range> ranges;
    std::vector<std::uint64_t> offsets;

    // The number of the unit that holds an address.
    std::optional<std::uint32_t> find(std::uint64_t address) const noexcept;
    void finish();
    // Where unit `number`'s data is kept once read.
    built_once<unit_lines>& data(std::uint32_t number);

private:
    // In blocks made when one of their units is first read: a lookup reads a
    // few of the C library's thousands of units.
    static constexpr std::size_t block_size = 64;
    struct block {
        built_once<unit_lines> units[block_size];
    };
    std::unique_ptr<published<block>[]> blocks_;
};

class source_lines {
public:
    // Null when the sections hold no debug information. `code` is where the
    // loaded object has code, in the addresses of the debug information.
    // `split` finds the split units of skeletons, and must outlive this.
    // With `inline_calls`, units are read with every inlined call, for
    // inline_chain().
    static std::unique_ptr<source_lines> open(dwarf_sections sections, code_ranges code,
                                              split_file_source* split = nullptr, bool inline_calls = false);

    source_lines(const source_lines&) = delete;
    source_lines& operator=(const source_lines&) = delete;

    // The file and line of the code at an address of the debug information.
    // An address in code inlined into a function gives the line of that
    // function from which the inlined code was entered.
    bool find(std::uint64_t address, source_location& out);
    // The inlined functions at an address and the one that holds them (see
    // unit_lines::inline_chain); false where there are none, or they were not
    // asked for when this was opened.
    bool inline_chain(std::uint64_t address, std::vector<inline_frame>& out);
    // Where the unit that holds an address starts in .debug_info, where the
    // address tables say without reading it.
    std::optional<std::uint64_t> unit_offset(std::uint64_t address) const noexcept;
    // For a reader that will ask for most units, once its first answer is
    // out: large sections are read ahead of it (section_data::read_ahead).
    void read_ahead();

private:
    source_lines() = default;

    const unit_lines* unit(unit_index& index, std::uint32_t number);
    // The unit read for an address, or null.
    const unit_lines* unit_at(std::uint64_t address);
    unit_index* unlisted();
    void scan_units(unit_index& index, const std::vector<std::uint64_t>* skip);
    bool read_aranges(unit_index& index);

    // Serialises every read of the sections: inflating them is not
    // thread-safe.
    annotated_mutex build_;
    dwarf_sections sections_;
    code_ranges code_;
    unit_index primary_;
    bool primary_from_aranges_ = false;
    // Units that .debug_aranges left out, found on the first miss.
    built_once<unit_index> unlisted_;
    std::unique_ptr<split_units> split_;
    // Set when every inlined call is read.
    std::unique_ptr<inline_reading> inlines_;
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
