#ifndef KORVO_CALLTRAIL_POSIX_DWARF_LIST_TABLES_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_LIST_TABLES_HPP

// The DWARF 5 tables a unit points into with its *_base attributes open each
// unit's contribution with a header: its initial length (4 bytes, or 12 in
// 64-bit DWARF), a version, then two bytes (padding, or the address and
// segment selector sizes), and in the list tables a count of offsets. A
// base attribute points past that header; where a unit has none, the
// entries start past the header of the table's first contribution, or of the
// contribution a package index gives.

#include <cstdint>

#include "platform/posix/object/section_data.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

enum class list_table : std::uint8_t { addr, str_offsets, rnglists, loclists };

// Where the entries of the contribution at `contribution` start. The format
// is the header's own when it can be read, the unit's (`unit_offset64`)
// when it cannot.
std::uint64_t list_entries_start(section_data* section, std::uint64_t contribution, list_table table,
                                 bool unit_offset64);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
