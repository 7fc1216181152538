#ifndef KORVO_CALLTRAIL_POSIX_DWARF_UNIT_ROOT_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_UNIT_ROOT_HPP

// The root entry of a compilation unit: where its code is, its line program
// and directory, and the bases its other entries are read with.

#include <cstddef>
#include <cstdint>

#include "platform/posix/dwarf/abbreviation_table.hpp"
#include "platform/posix/dwarf/attributes.hpp"
#include "platform/posix/dwarf/dwarf_cursor.hpp"
#include "platform/posix/dwarf/dwarf_sections.hpp"
#include "platform/posix/dwarf/pc_ranges.hpp"
#include "platform/posix/dwarf/unit_header.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct unit_root {
    std::uint32_t tag = 0;
    bool has_children = false;
    const char* comp_dir = nullptr;
    std::uint64_t stmt_list = 0;
    bool has_stmt_list = false;
    pc_attributes pc;
    // A skeleton's: the file its split unit went to, and the GNU (DWARF 4)
    // form's id and base of the split unit's range lists.
    const char* dwo_name = nullptr;
    bool has_dwo_name = false;
    std::uint64_t gnu_dwo_id = 0;
    bool has_gnu_dwo_id = false;
    std::uint64_t gnu_ranges_base = 0;
};

// Everything needed to read on from a unit's root.
struct open_unit {
    unit_header header;
    // Owned by the sections' abbreviation cache.
    const abbreviation_table* abbrevs = nullptr;
    unit_context context;
    unit_root root;
    // At the root's first child.
    dwarf_cursor cursor;
};

// Reads the header, abbreviations and root entry of the compilation unit at
// `offset`. False for anything but a full or skeleton compilation unit.
bool read_unit_root(dwarf_sections& sections, std::size_t offset, open_unit& unit);

// Makes the rest of a unit readable in one piece, rather than in many as a
// walk goes, unless it is large: that is read through a window. False when
// the bytes cannot be had.
bool prefetch_unit(open_unit& unit);

// Whether the unit's entries are in a split unit elsewhere, and its id.
bool is_skeleton(const open_unit& unit) noexcept;
bool skeleton_id(const open_unit& unit, std::uint64_t& id) noexcept;

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
