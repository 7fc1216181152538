#ifndef KORVO_CALLTRAIL_POSIX_DWARF_INLINE_SITES_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_INLINE_SITES_HPP

// Where inlined code was entered from the function it was inlined into: an
// address inside it is reported at that call, not inside the inlined body.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/posix/dwarf/inline_tree.hpp"
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

// The outermost inlined calls in functions that have code, from the entries
// below the unit's root, sorted by address, none overlapping another. A
// damaged entry ends the walk with what was found before it. Leaves the
// unit's bytes behind the walk given back, unless `tree` reads them again
// later. With `tree`, every outermost call is kept there too, with where
// its entry lies.
std::vector<inline_site> read_inline_sites(open_unit& unit, const code_ranges& code, inline_tree* tree = nullptr);

// The inlined calls below an outermost one whose children lie from
// `children` on and end before `end`, at every depth, into `below`: no more
// ranges than `ranges_left` and no more bytes than `bytes_left` walked, both
// counted down.
void read_calls_below(open_unit& unit, std::size_t children, std::size_t end, const code_ranges& code,
                      inline_tree::subtree& below, std::size_t& ranges_left, std::size_t& bytes_left);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
