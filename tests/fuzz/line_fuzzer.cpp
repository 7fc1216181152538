// Line programs of any content, read by the line reader as it reads one
// unit's: the header and file tables of each version, and the state machine.
// Beyond not crashing, reading out of bounds or overflowing, every row it
// answers with must start at or before the address asked for.
//
// Input: a byte of options (bit 0: 4-byte addresses in the unit; bit 1: no
// compilation directory), then the bytes of a .debug_line section, which
// also stand for the string sections that version 5 names point into (the
// seeds are the line tables of the libraries this build makes for its tests).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/dwarf/line_table.hpp"

using namespace korvo::calltrail::posix_engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t options = data[0];
    const std::uint8_t* lines = data + 1;
    const std::size_t lines_size = size - 1;
    dwarf_sections sections;
    sections.line = section_data::plain(lines, lines_size);
    sections.str = section_data::plain(lines, lines_size);
    sections.line_str = section_data::plain(lines, lines_size);
    unit_header header;
    header.version = 4;
    header.address_size = (options & 1) != 0 ? 4 : 8;
    unit_context unit;
    unit.header = &header;
    unit.sections = &sections;
    code_ranges code;
    code.ranges.emplace_back(0, UINT64_MAX);
    line_table table;
    if (!table.read(unit, 0, (options & 2) != 0 ? nullptr : "/comp/dir", code)) return 0;
    // Addresses the program may have set: every eight bytes of it, read as
    // one, and the bytes around them.
    for (std::size_t at = 0; at + 8 <= lines_size; at += 8) {
        std::uint64_t value = 0;
        std::memcpy(&value, lines + at, sizeof value);
        for (const std::uint64_t address : {value - 1, value, value + 1}) {
            const line_row* row = table.row_at(address);
            if (row == nullptr) continue;
            if (row->address > address) {
                std::fprintf(stderr, "a row after the address it answers for\n");
                std::abort();
            }
            table.path_of(row->file);
        }
    }
    for (std::uint64_t file = 0; file < 8; ++file) table.path_of(file);
    return 0;
}
