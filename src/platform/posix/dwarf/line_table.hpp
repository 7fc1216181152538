#ifndef KORVO_CALLTRAIL_POSIX_DWARF_LINE_TABLE_HPP
#define KORVO_CALLTRAIL_POSIX_DWARF_LINE_TABLE_HPP

// The line program of one unit, decoded into rows that a binary search can
// use, and the unit's file names made into paths.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/dwarf/attributes.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

// Address ranges, in the debug information's own addresses, that hold code of
// the loaded object. Rows and scopes elsewhere were discarded at link time
// (left at address 0) and would shadow real code.
struct code_ranges {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;

    bool holds(std::uint64_t address) const noexcept {
        for (const auto& r : ranges)
            if (address >= r.first && address < r.second) return true;
        return false;
    }
};

struct line_row {
    std::uint64_t address;
    std::uint32_t file;
    std::uint32_t line;
};

// Rows of all sequences ordered by address, each sequence closed by a row
// whose file is end_of_sequence.
class line_table {
public:
    static constexpr std::uint32_t end_of_sequence = 0xffffffffu;

    bool read(const unit_context& unit, std::uint64_t offset, const char* comp_dir, const code_ranges& code);

    // The row in effect at an address, or null.
    const line_row* row_at(std::uint64_t address) const noexcept;
    // The path of a file number as the line program and DW_AT_call_file count
    // them; null when there is no such file.
    const std::string* path_of(std::uint64_t file) const noexcept;

private:
    std::vector<line_row> rows_;
    std::vector<std::string> paths_;
    std::uint32_t first_file_ = 1;
};

// Joins a directory and a name the way paths in debug information combine.
std::string join_path(const char* directory, const char* name);

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo

#endif
