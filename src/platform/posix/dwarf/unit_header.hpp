#ifndef KORVO_CALLTRAIL_POSIX_DWARF_UNIT_HEADER_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_UNIT_HEADER_HPP

// The header of one unit of .debug_info, in each DWARF version's layout.

#include <cstddef>
#include <cstdint>

#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

struct unit_header {
    std::size_t offset = 0;
    std::size_t end = 0;
    std::size_t first_entry = 0;
    std::uint64_t abbrev_offset = 0;
    // A DWARF 5 skeleton's or split unit's id, which pairs them.
    std::uint64_t unit_id = 0;
    std::uint16_t version = 0;
    std::uint8_t unit_type = 0;
    std::uint8_t address_size = 0;
    bool offset64 = false;
};

inline unsigned offset_size(const unit_header& unit) noexcept { return unit.offset64 ? 8u : 4u; }

// False for a truncated or unknown header; `header.end` is still set when the
// length could be read, so a walk can step over a unit it does not know.
bool read_unit_header(section_data* info, std::size_t offset, unit_header& header);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
