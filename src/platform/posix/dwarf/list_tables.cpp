#include "platform/posix/dwarf/list_tables.hpp"

#include "platform/posix/dwarf/dwarf_cursor.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

std::uint64_t list_entries_start(section_data* section, std::uint64_t contribution, list_table table,
                                 bool unit_offset64) {
    bool offset64 = unit_offset64;
    if (section != nullptr && contribution < section->size()) {
        dwarf_cursor cursor(section, static_cast<std::size_t>(contribution), section->size());
        std::size_t end = 0;
        bool header_offset64 = false;
        if (read_initial_length(cursor, end, header_offset64)) offset64 = header_offset64;
    }
    const std::uint64_t length_size = offset64 ? 12 : 4;
    const std::uint64_t offset_count_size = table == list_table::rnglists || table == list_table::loclists ? 4 : 0;
    return contribution + length_size + 4 + offset_count_size;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
