#ifndef KORVO_CALLTRAIL_POSIX_DWARF_UNIT_LINES_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_UNIT_LINES_HPP

// What one compilation unit says about its addresses: its line table and
// where inlined code was entered.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/dwarf/dwarf_sections.hpp"
#include "platform/posix/dwarf/inline_sites.hpp"
#include "platform/posix/dwarf/line_table.hpp"
#include "platform/posix/dwarf/split_units.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct source_location {
    const std::string* path = nullptr;
    std::uint32_t line = 0;
};

struct unit_lines {
    line_table lines;
    std::vector<inline_site> sites;

    // The line of the call into the outermost inlined code at an address, or
    // else the line table's.
    bool find(std::uint64_t address, source_location& out) const;
};

// Null when the unit at `offset` cannot be read, or when it is a skeleton
// whose split unit `split` (null: none) cannot find.
std::unique_ptr<unit_lines> read_unit_lines(dwarf_sections& sections, std::size_t offset, const code_ranges& code,
                                            split_units* split = nullptr);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
