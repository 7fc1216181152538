#ifndef KORVO_CALLTRAIL_POSIX_DWARF_INLINE_SITES_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_INLINE_SITES_HPP

// Where inlined code was entered from the function it was inlined into: an
// address inside it is reported at that call, not inside the inlined body.

#include <cstdint>
#include <vector>

#include "platform/posix/dwarf/line_table.hpp"
#include "platform/posix/dwarf/unit_root.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct inline_site {
    std::uint64_t low;
    std::uint64_t high;
    std::uint32_t file;
    std::uint32_t line;
};

class inline_tree;
class unit_locator;

// The outermost inlined calls in functions that have code, from the entries
// below the unit's root, sorted by address, none overlapping another. A
// damaged entry ends the walk with what was found before it. Leaves the
// unit's bytes behind the walk given back. With `tree`, every inlined call
// is kept there too, named through `others` where it refers to other units.
std::vector<inline_site> read_inline_sites(open_unit& unit, const code_ranges& code, inline_tree* tree = nullptr,
                                           unit_locator* others = nullptr);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
