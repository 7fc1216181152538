#include "platform/posix/dwarf/unit_header.hpp"

#include "platform/posix/dwarf/dwarf_constants.hpp"
#include "platform/posix/dwarf/dwarf_cursor.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

bool read_unit_header(section_data* info, std::size_t offset, unit_header& header) {
    if (info == nullptr) return false;
    dwarf_cursor cursor(info, offset, info->size());
    header = unit_header();
    header.offset = offset;
    if (!read_initial_length(cursor, header.end, header.offset64)) return false;
    dwarf_cursor body(info, cursor.position(), header.end);
    header.version = body.u16();
    if (header.version < 2 || header.version > 5) return false;
    if (header.version >= 5) {
        header.unit_type = body.u8();
        header.address_size = body.u8();
        header.abbrev_offset = body.fixed(offset_size(header));
        // A type unit's type offset is not needed.
        if (header.unit_type == DW_UT_skeleton || header.unit_type == DW_UT_split_compile)
            header.unit_id = body.u64();
        else if (header.unit_type == DW_UT_type || header.unit_type == DW_UT_split_type)
            body.skip(8 + offset_size(header));
    } else {
        header.unit_type = DW_UT_compile;
        header.abbrev_offset = body.fixed(offset_size(header));
        header.address_size = body.u8();
    }
    if (header.address_size != 4 && header.address_size != 8) return false;
    header.first_entry = body.position();
    return body.ok();
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
