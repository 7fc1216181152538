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
#include "platform/posix/dwarf/inline_tree.hpp"
#include "platform/posix/dwarf/line_table.hpp"
#include "platform/posix/dwarf/split_units.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct source_location {
    const std::string* path = nullptr;
    std::uint32_t line = 0;
};

// One level of the code at an address: the function, and where in it.
struct inline_frame {
    const std::string* function = nullptr;
    source_location location;
};

struct unit_lines {
    line_table lines;
    std::vector<inline_site> sites;
    // Every inlined call, where they were asked for.
    std::unique_ptr<inline_tree> calls;

    // The line of the call into the outermost inlined code at an address, or
    // else the line table's.
    bool find(std::uint64_t address, source_location& out) const;
    // Each inlined function whose code holds an address, innermost first, at
    // the line it was at, and last the function that holds them all, at the
    // line find() gives, its name left to the caller. False when no inlined
    // call holds the address, or the calls were not read.
    // Reads what the tree had left for later, under the tree's lock.
    bool inline_chain(std::uint64_t address, std::vector<inline_frame>& out) const;
};

// Null when the unit at `offset` cannot be read, or when it is a skeleton
// whose split unit `split` (null: none) cannot find. With `inlines`, every
// inlined call is read too: the calls below the outermost ones and their
// names as they are asked for, the unit's bytes kept till then.
std::unique_ptr<unit_lines> read_unit_lines(dwarf_sections& sections, std::size_t offset, const code_ranges& code,
                                            split_units* split = nullptr, inline_reading* inlines = nullptr);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
