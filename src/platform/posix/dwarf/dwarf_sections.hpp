#ifndef KORVO_CALLTRAIL_POSIX_DWARF_DWARF_SECTIONS_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_DWARF_SECTIONS_HPP

// The debug sections of one object that line lookups read. The DWARF reader
// sees nothing of the object but these bytes.

#include <cstdint>
#include <memory>

#include "platform/posix/dwarf/abbreviation_table.hpp"
#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Any of them may be null: an object has only what its compiler wrote.
struct dwarf_sections {
    std::unique_ptr<section_data> info;
    std::unique_ptr<section_data> abbrev;
    std::unique_ptr<section_data> line;
    std::unique_ptr<section_data> str;
    std::unique_ptr<section_data> line_str;
    std::unique_ptr<section_data> str_offsets;
    std::unique_ptr<section_data> addr;
    std::unique_ptr<section_data> ranges;
    std::unique_ptr<section_data> rnglists;
    std::unique_ptr<section_data> aranges;

    // What their readers share: the abbreviation tables read so far, and how
    // many range list entries may still be read. Each list is read about
    // twice (by a walk over units and by the read of its unit), so a few
    // times the sections' size bounds the entries of lists that do not
    // overlap, as no toolchain makes them; lists that many entries name
    // cannot multiply the work.
    abbreviation_cache abbreviations;
    std::uint64_t range_entries_left = UINT64_MAX;

    // Sets that bound from the range list sections held now.
    void bound_range_entries() noexcept {
        const std::uint64_t list_bytes =
            (ranges != nullptr ? ranges->size() : 0) + (rnglists != nullptr ? rnglists->size() : 0);
        range_entries_left = 4 * list_bytes + 1024;
    }
};

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
